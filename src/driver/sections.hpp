#pragma once
// The sections the driver runs, in the order of the pass.
#include <cstdint>

namespace bantrisk {
class Io;
struct RunState;
namespace dataaccess {
class Session;
}

// Option 2: asks the integrals-file name, checks it and reads the integrals.
void read_integrals_file(Io &io, RunState &run);
// Option 1: instrument, raw-data directory, extension and run number; composes and checks the
// raw file name (a missing file ends the program).
void locate_raw_file(Io &io, RunState &run);
// Option 1: opens the run file, reads its sizes, integrates spectra 1..analysed (the maximum
// asked, 0 meaning all) and closes the run file.
void integrate_raw_file(Io &io, RunState &run, dataaccess::Session &session,
                        std::int32_t max_spectrum);
// The zero-count list and its report.
void zero_count_report(Io &io, RunState &run);
// The spectrum file list, the spectra file, the count checks and the split of every entry.
void load_detector_map(Io &io, RunState &run);
// Dead spectra, dead modules and the averages.
void dead_spectra_section(Io &io, RunState &run);
// Low/high modules and spectra with the limit dialogue.
void low_high_section(Io &io, RunState &run);
// The save question and the integrals file.
void save_integrals(Io &io, RunState &run);
// The mask question and the mask file.
void write_mask_file(Io &io, RunState &run);

} // namespace bantrisk
