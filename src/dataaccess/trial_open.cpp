#include "dataaccess/trial_open.hpp"

#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bantrisk::dataaccess {

void trial_open(const std::string &path, unsigned seconds) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    return; // no child to be had: open in this process
  }
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO); // a crash report from the child is not the program's output
    }
    ::alarm(seconds);
    try {
      RunFile probe(path);
    } catch (const RunFileError &) {
      ::_exit(2); // refused: the same refusal follows in this process, with its reason
    } catch (...) {
      ::_exit(3); // anything else is taken as damage
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return;
    }
  }
  if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 2)) {
    return; // opened, or refused with a reason
  }
  throw RunFileError(run_file_message(
      path, WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM
                ? "damaged file: reading it did not finish within " + std::to_string(seconds) + " s"
                : "damaged file: the HDF5 library failed reading it"));
}

} // namespace bantrisk::dataaccess
