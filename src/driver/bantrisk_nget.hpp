#pragma once
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace bantrisk {
class Answers;
class Console;
class Io;
struct RunState;
namespace dataaccess {
class Session;
}

// Exit statuses: a normal end, a fatal end (its message already shown), the console input
// ending while a question waits.
inline constexpr int exit_normal = 0;
inline constexpr int exit_fatal = 1;
inline constexpr int exit_end_of_input = 2;

// Prepares the process for a check in the current folder, before anything is written: the
// signal handling, and the folder's lock. False (after the console line
// " ** ERROR: another check is running in this folder") when another check holds the folder.
bool claim_check_folder(Console &con);
// The same for a check that writes in `folders`: the first folder that another check holds, or
// nothing when all are claimed (or cannot be locked).
std::optional<std::string> claim_check_folders(const std::vector<std::string> &folders);

// One check of one run, from the header to the final pause. Returns the exit status; the
// end-of-input report goes to `err`.
int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err);

// The same pass with its choices taken from `ask`, into `run` (which keeps what the pass found).
// An Unanswerable choice ends it with status 1 and its message on `err`.
int run_pass(Io &io, dataaccess::Session &session, Answers &ask, RunState &run, std::ostream &err);
} // namespace bantrisk
