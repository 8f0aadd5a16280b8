// Low and high modules and spectra.
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void low_high_section(Io &, RunState &) {}
} // namespace bantrisk
