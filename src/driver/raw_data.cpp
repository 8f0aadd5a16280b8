// Option 1: where the raw file is, and the integration of its spectra.
#include "dataaccess/dataaccess.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/io.hpp"

namespace bantrisk {
void locate_raw_file(Io &, RunState &) {}
void integrate_raw_file(Io &, RunState &, dataaccess::Session &, std::int32_t) {}
} // namespace bantrisk
