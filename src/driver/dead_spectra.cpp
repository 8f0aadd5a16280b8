// Dead spectra, dead modules and the module and bank averages.
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void dead_spectra_section(Io &, RunState &) {}
} // namespace bantrisk
