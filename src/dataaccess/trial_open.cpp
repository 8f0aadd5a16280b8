#include "dataaccess/trial_open.hpp"

#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The address sanitizer's shadow memory alone is far larger than the child's memory limit.
#if defined(__SANITIZE_ADDRESS__)
#define BANTRISK_ADDRESS_SANITIZER
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BANTRISK_ADDRESS_SANITIZER
#endif
#endif

namespace bantrisk::dataaccess {

namespace {

// The child's refusal, written to the parent through a pipe.
void write_reason(int fd, const std::string &reason) {
  std::size_t done = 0;
  while (done < reason.size()) {
    const ssize_t n = ::write(fd, reason.data() + done, reason.size() - done);
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

std::string read_reason(int fd) {
  std::string reason;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      reason.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    return reason;
  }
}

// Opening a run file needs far less than this, its largest chunk included; a damaged file that
// makes the library ask for more fails in the child instead of taking the machine's memory.
constexpr rlim_t trial_memory = rlim_t{1} << 30;

void limit_memory() {
#if !defined(BANTRISK_ADDRESS_SANITIZER)
  const rlimit limit{trial_memory, trial_memory};
  ::setrlimit(RLIMIT_AS, &limit);
#endif
}

} // namespace

void trial_open(const std::string &path, unsigned seconds) {
  std::fflush(nullptr);
  int reason_pipe[2] = {-1, -1};
  if (::pipe2(reason_pipe, O_CLOEXEC) != 0) {
    return; // no pipe to be had: open in this process
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(reason_pipe[0]);
    ::close(reason_pipe[1]);
    return; // no child to be had: open in this process
  }
  if (pid == 0) {
    ::close(reason_pipe[0]);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO); // a crash report from the child is not the program's output
    }
    ::alarm(seconds);
    limit_memory();
    try {
      RunFile probe(path);
    } catch (const RunFileError &e) {
      // Refused: the reason goes to the parent, which refuses the file with it without opening
      // it again (a damaged file can take seconds and much memory to refuse).
      write_reason(reason_pipe[1], e.what());
      ::_exit(2);
    } catch (...) {
      ::_exit(3); // anything else is taken as damage
    }
    ::_exit(0);
  }
  ::close(reason_pipe[1]);
  const std::string reason = read_reason(reason_pipe[0]);
  ::close(reason_pipe[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return;
    }
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    return; // opened
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
    if (reason.empty())
      return; // refused, but the reason was lost: the opening in this process gives it
    throw RunFileError(reason);
  }
  throw RunFileError(run_file_message(
      path, WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM
                ? "damaged file: reading it did not finish within " + std::to_string(seconds) + " s"
                : "damaged file: the HDF5 library failed reading it"));
}

} // namespace bantrisk::dataaccess
