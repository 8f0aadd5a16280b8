#pragma once
// Protections of the whole process while a check runs: what the signals do, the hidden
// temporary files that a signal must not leave behind, and the lock on the folder a check
// writes in. Called from main (or any other front door) before the check starts.
#include <string>

namespace bantrisk {

// SIGPIPE and SIGXFSZ are ignored, so that a pipe whose reader has gone and an exceeded file
// size limit are write errors of the file concerned. SIGINT, SIGTERM and SIGHUP remove the
// temporary files of the output files being written, then end the program as the signal does;
// one of them that the program was started to ignore stays ignored.
void install_signal_handling();

// Marks `temp` as a temporary file that a signal removes; returns its slot, or -1 when none is
// free (or the name is too long to keep), in which case a signal leaves it behind.
int register_temporary(const std::string &temp);
// The temporary file of `slot` has been renamed or removed.
void forget_temporary(int slot);

// A helper child process the program waits for (the probe of a run file): a terminating signal
// ends and reaps it before the program ends. 0: none.
void set_helper_child(int pid);

enum class FolderLock { held, busy, unavailable };
// Takes an exclusive lock on `folder` itself (no lock file), held until the process ends.
// busy: another process holds it; unavailable: the folder cannot be locked (not readable, or a
// file system without locks), and the check goes on without the lock.
FolderLock lock_folder(const std::string &folder);

} // namespace bantrisk
