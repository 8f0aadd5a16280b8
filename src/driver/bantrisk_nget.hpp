#pragma once
#include <iosfwd>

namespace bantrisk {
class Answers;
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

// One check of one run, from the header to the final pause. Returns the exit status; the
// end-of-input report goes to `err`.
int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err);

// The same pass with its choices taken from `ask`, into `run` (which keeps what the pass found).
// An Unanswerable choice ends it with status 1 and its message on `err`.
int run_pass(Io &io, dataaccess::Session &session, Answers &ask, RunState &run,
             std::ostream &err);
} // namespace bantrisk
