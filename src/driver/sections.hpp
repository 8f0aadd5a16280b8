#pragma once
// The sections the driver runs, in the order of the pass. Each takes its choices from an
// Answers; without one, the dialogue asks them on the console.
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "driver/answers.hpp"

namespace bantrisk {
class Io;
struct RunState;
namespace dataaccess {
class Session;
}

// Option 2: takes the integrals-file name, checks it and reads the integrals.
void read_integrals_file(Io &io, RunState &run, Answers &ask = dialogue());
// Reads an integrals file's count and integrals into integrals[1..count]; false on a missing or
// bad value, an early end of file, or a count that the table cannot hold. A count of 0 or less
// reads nothing more.
bool read_integrals(std::istream &in, std::vector<std::int32_t> &integrals, std::int32_t &count);
// The reference run of a check, from `file`: a run file (told by its first bytes), integrated
// over all its channels, or else an integrals file; into run.rules. A file that cannot be read
// ends the check.
void load_reference(Io &io, RunState &run, dataaccess::Session &session, const std::string &file);
// Option 1: the run file, named or composed from instrument, raw-data directory, extension and
// run number, and checked (a missing file ends the program).
void locate_raw_file(Io &io, RunState &run, Answers &ask = dialogue());
// Option 1: opens the run file, reads its sizes, integrates spectra 1..analysed (the maximum
// asked, 0 meaning all) and closes the run file. With a time-of-flight window in the rules,
// each spectrum is integrated over the window's channels, which are kept in the rules; a window
// holding no channel of the run ends the check, the message naming the run as `run_label`.
void integrate_raw_file(Io &io, RunState &run, dataaccess::Session &session,
                        std::int32_t max_spectrum, std::string_view run_label = "the run");
// The zero-count list and its report.
void zero_count_report(Io &io, RunState &run);
// The spectrum file list, the spectra file, the count checks and the split of every entry.
void load_detector_map(Io &io, RunState &run, Answers &ask = dialogue());
// Dead spectra, dead modules and the averages.
void dead_spectra_section(Io &io, RunState &run, Answers &ask = dialogue());
// Low/high modules and spectra, with the fractions and limits taken from `ask`.
void low_high_section(Io &io, RunState &run, Answers &ask = dialogue());
// The comparison with the reference run, when the check has one (run.rules.reference).
void reference_section(Io &io, RunState &run);
// The integrals file, when `ask` wants it saved.
void save_integrals(Io &io, RunState &run, Answers &ask = dialogue());
// The mask file, when `ask` wants one.
void write_mask_file(Io &io, RunState &run, Answers &ask = dialogue());

} // namespace bantrisk
