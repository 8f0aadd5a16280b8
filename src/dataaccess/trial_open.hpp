#pragma once
// The trial opening of a run file in a child process.
#include <string>

namespace bantrisk::dataaccess {

// Opening a run file reads its groups' attributes through HDF5, which is not hardened against
// damaged files: a corrupted heap in the file can crash it or make it loop. The opening is
// therefore tried first in a child process, which gets `seconds`; a child that dies or runs out
// of time means a damaged file, refused (RunFileError) like any other bad run file instead of
// taking the program down. A refusal with a reason is passed on from the child, so that the
// file is not opened a second time to be refused.
void trial_open(const std::string &path, unsigned seconds);

} // namespace bantrisk::dataaccess
