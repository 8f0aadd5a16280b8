#pragma once
// A report line in both places: the console first, then the results file.
#include <string_view>

#include "driver/run_state.hpp"
#include "lib/io.hpp"

namespace bantrisk {

inline void to_both(Io &io, std::string_view line) {
  io.write_line(0, line);
  io.write_line(results_unit, line);
}

} // namespace bantrisk
