#pragma once
#include <iosfwd>

namespace bantrisk {
class Console;
class Io;
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

// One check of one run, from the header to the final pause. Returns the exit status; the
// end-of-input report goes to `err`.
int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err);
} // namespace bantrisk
