#include "lib/input_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fields.hpp"
#include "lib/program_stop.hpp"
#include "lib/text.hpp"

namespace bantrisk {

bool identity_of(const std::string &name, FileIdentity &id) {
  struct stat st {};
  if (name.empty() || name.find('\0') != std::string::npos || ::stat(name.c_str(), &st) != 0)
    return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

InputFile::Buffer::~Buffer() {
  ::close(fd_);
}

InputFile::Buffer::int_type InputFile::Buffer::underflow() {
  for (;;) {
    const ssize_t got = ::read(fd_, data_, sizeof data_);
    if (got > 0) {
      setg(data_, data_, data_ + got);
      return traits_type::to_int_type(data_[0]);
    }
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      throw std::ios_base::failure("read error");
    return traits_type::eof();
  }
}

InputFile::InputFile(int fd, FileIdentity id) : std::istream(nullptr), buffer_(fd), id_(id) {
  rdbuf(&buffer_);
}

InputFile::~InputFile() = default;

std::unique_ptr<InputFile> open_input_file(const std::string &name, std::string &reason) {
  reason.clear();
  if (name.empty() || name.find('\0') != std::string::npos) {
    reason = std::strerror(ENOENT);
    return nullptr;
  }
  // Without O_NONBLOCK, opening a pipe that has no writer would wait for one for ever.
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    reason = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    reason = "not a regular file";
    ::close(fd);
    return nullptr;
  }
  // A regular file never blocks; reads are made in the ordinary way from here on.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return std::unique_ptr<InputFile>(new InputFile(fd, {st.st_dev, st.st_ino}));
}

std::unique_ptr<InputFile> open_input_file_or_stop(std::string_view name) {
  const std::string complete(trimmed(name));
  std::string reason;
  auto file = open_input_file(complete, reason);
  if (!file) {
    throw ProgramStop::fatal(
        concat({"** ERROR: cannot open file for reading: ", complete, " : ", reason}));
  }
  return file;
}

} // namespace bantrisk
