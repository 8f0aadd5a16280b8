#pragma once
// The probe of a run file in a child process.
#include <functional>
#include <string>

namespace bantrisk::dataaccess {

// Opening a run file reads its groups' attributes and its chunk index through HDF5, which is not
// hardened against damaged files: a corrupted heap in the file can crash it, make it loop or
// make it ask for all the memory there is. The opening is therefore tried first in a child
// process, which reads the metadata and the chunk index but no counts, within `seconds`
// measured by this process (no signal disposition can lift the limit). A child that dies or
// runs out of time means a damaged file, refused (RunFileError) like any other bad run file
// instead of taking the program down; a child that could not get memory is said to have run out
// of it. A refusal with a reason is passed on from the child, so that the file is not opened a
// second time to be refused. `hook`, when set, runs in the child first (tests make it slow).
//
// The child ends with this process (the kernel ends it when this process dies, and a
// terminating signal caught by the program ends it first), and it closes every descriptor it
// inherited but its pipe to this process, so that it holds none of the program's folder locks.
void probe_run_file(const std::string &path, unsigned seconds,
                    const std::function<void()> &hook = {});

} // namespace bantrisk::dataaccess
