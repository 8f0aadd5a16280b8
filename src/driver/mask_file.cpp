// The mask file.
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void write_mask_file(Io &, RunState &) {}
} // namespace bantrisk
