#include "dataaccess/trial_open.hpp"

#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"
#include "lib/process_guard.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

// Opening a run file needs far less than this, its largest chunk included; a damaged file that
// makes the library ask for more fails in the child instead of taking the machine's memory.
constexpr rlim_t trial_memory = rlim_t{1} << 30;

void limit_memory() {
#if !defined(BANTRISK_ADDRESS_SANITIZER)
  const rlimit limit{trial_memory, trial_memory};
  ::setrlimit(RLIMIT_AS, &limit);
#endif
}

// The child's side: everything but its pipe closed, then the opening of the metadata and chunk
// index. Never returns.
[[noreturn]] void child(const std::string &path, int reason_fd, pid_t parent,
                        const std::function<void()> &hook) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) {
    ::_exit(5); // the parent is gone already
  }
  // No signal the program catches may run its handler here: the handler is the parent's.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    std::signal(sig, SIG_DFL);
  }
  const int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    // A crash report from the child is not the program's output.
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
  }
  // Descriptors above the standard ones are closed but the pipe: the folder locks among them
  // belong to the parent's check.
  constexpr int kept = 3;
  if (reason_fd != kept) {
    ::dup2(reason_fd, kept);
  }
  if (::syscall(SYS_close_range, kept + 1, ~0U, 0U) != 0) {
    for (int fd = kept + 1; fd < 65536; ++fd) {
      ::close(fd);
    }
  }
  limit_memory();
  try {
    if (hook) {
      hook();
    }
    RunFile probe(path, Opening::probe);
  } catch (const RunFileError &e) {
    // Refused: the reason goes to the parent, which refuses the file with it without opening
    // it again (a damaged file can take seconds and much memory to refuse). The HDF5 library
    // says so when it could not get memory.
    const std::string reason = e.what();
    if (reason.find("memory allocation failed") != std::string::npos) {
      ::_exit(4);
    }
    write_reason(kept, reason);
    ::_exit(2);
  } catch (const std::bad_alloc &) {
    ::_exit(4);
  } catch (...) {
    ::_exit(3); // anything else is taken as damage
  }
  ::_exit(0);
}

// Milliseconds left until `deadline`, at least 0.
int left_ms(const timespec &deadline) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ms = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000 +
                       (deadline.tv_nsec - now.tv_nsec) / 1000000;
  return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, 1 << 30));
}

// The child's reason, read until the child closes its end (it ends) or the deadline passes.
// False when the time ran out.
bool read_reason_until(int fd, const timespec &deadline, std::string &reason) {
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, left_ms(deadline));
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      return true; // no more waiting to be had: the child's status decides
    }
    if (ready == 0) {
      return false;
    }
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      reason.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    return true;
  }
}

void reap(pid_t pid, int &status) {
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      status = 0;
      return;
    }
  }
}

} // namespace

void probe_run_file(const std::string &path, unsigned seconds, const std::function<void()> &hook) {
  std::fflush(nullptr);
  int reason_pipe[2] = {-1, -1};
  if (::pipe2(reason_pipe, O_CLOEXEC) != 0) {
    return; // no pipe to be had: open in this process
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(reason_pipe[0]);
    ::close(reason_pipe[1]);
    return; // no child to be had: open in this process
  }
  if (pid == 0) {
    ::close(reason_pipe[0]);
    child(path, reason_pipe[1], parent, hook);
  }
  set_helper_child(pid);
  ::close(reason_pipe[1]);
  timespec deadline{};
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(seconds);
  std::string reason;
  const bool finished = read_reason_until(reason_pipe[0], deadline, reason);
  ::close(reason_pipe[0]);
  if (!finished) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  reap(pid, status);
  set_helper_child(0);
  if (!finished) {
    throw RunFileError(run_file_message(
        path, "damaged file: reading it did not finish within " + std::to_string(seconds) + " s"));
  }
  if (WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 5)) {
    return; // opened
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 2) {
    if (reason.empty())
      return; // refused, but the reason was lost: the opening in this process gives it
    throw RunFileError(reason);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 4) {
    throw RunFileError(run_file_message(path, "not enough memory to open it"));
  }
  throw RunFileError(run_file_message(path, "damaged file: the HDF5 library failed reading it"));
}

} // namespace bantrisk::dataaccess
