// The spectra whose integral is zero.
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void zero_count_report(Io &, RunState &) {}
} // namespace bantrisk
