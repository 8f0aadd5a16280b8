#include "lib/process_guard.hpp"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bantrisk {

namespace {

// Kept in fixed storage: the signal handler may only read it and call unlink.
constexpr std::size_t temp_slots = 64;
constexpr std::size_t temp_name_room = 4096;
std::array<std::array<char, temp_name_room>, temp_slots> temp_names{};
std::array<volatile std::sig_atomic_t, temp_slots> temp_used{};
volatile std::sig_atomic_t helper_child = 0;

extern "C" void remove_temporaries_and_end(int sig) {
  if (const pid_t child = helper_child; child > 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
  }
  for (std::size_t i = 0; i < temp_slots; ++i)
    if (temp_used[i] != 0)
      ::unlink(temp_names[i].data());
  // The handler was reset to the default (SA_RESETHAND): the signal ends the process once the
  // handler returns.
  ::raise(sig);
}

} // namespace

void install_signal_handling() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  struct sigaction before {};
  action.sa_handler = remove_temporaries_and_end;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&action.sa_mask, sig);
  action.sa_flags = SA_RESETHAND;
  // A signal the program was started to ignore (nohup, a background job) stays ignored.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP})
    if (::sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
      ::sigaction(sig, &action, nullptr);
}

void set_helper_child(int pid) {
  helper_child = pid;
}

int register_temporary(const std::string &temp) {
  if (temp.size() >= temp_name_room)
    return -1;
  for (std::size_t i = 0; i < temp_slots; ++i) {
    if (temp_used[i] != 0)
      continue;
    std::memcpy(temp_names[i].data(), temp.c_str(), temp.size() + 1);
    temp_used[i] = 1; // only now may the handler use the name
    return static_cast<int>(i);
  }
  return -1;
}

void forget_temporary(int slot) {
  if (slot >= 0 && static_cast<std::size_t>(slot) < temp_slots)
    temp_used[static_cast<std::size_t>(slot)] = 0;
}

FolderLock lock_folder(const std::string &folder) {
  // Kept open (and so locked) until the process ends; not passed to child processes.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return FolderLock::unavailable;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
    return FolderLock::held;
  const int error = errno;
  ::close(fd);
  return error == EWOULDBLOCK ? FolderLock::busy : FolderLock::unavailable;
}

} // namespace bantrisk
