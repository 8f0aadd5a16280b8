// The integrals file: read back by option 2, saved at the end of a run.
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void read_integrals_file(Io &, RunState &) {}
void save_integrals(Io &, RunState &) {}
} // namespace bantrisk
