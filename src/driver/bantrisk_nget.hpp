#pragma once
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "lib/program_stop.hpp"

namespace bantrisk {
class Answers;
class Console;
class Io;
struct RunState;
namespace dataaccess {
class Session;
}

// Prepares the process for a check in the current folder, before anything is written: the
// signal handling, and the folder's lock. False (after the console line
// " ** ERROR: another check is running in this folder") when another check holds the folder.
bool claim_check_folder(Console &con);
// The same for a check that writes in `folders`: the first folder that another check holds, or
// nothing when all are claimed (or cannot be locked).
std::optional<std::string> claim_check_folders(const std::vector<std::string> &folders);

// One check of one run, from the header to the final pause, as the dialogue. Returns the exit
// status; the reports of standard error (the end of the console input) go to `err`.
int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err);

// The same pass with its choices taken from `ask`, into `run` (which keeps what the pass found).
// A ProgramStop ends it: told through io.events(), its status returned. A normal end is 0, or 1
// when an output file could not be created or completely written. Every file still open is
// closed (put in place as far as written, or with Io::Commit::together finished).
int run_pass(Io &io, dataaccess::Session &session, Answers &ask, RunState &run);
} // namespace bantrisk
