#pragma once
// Input files: every text file the program reads (the integrals file, the spectrum file list,
// the spectra file) is opened here, and the run file is checked here before it is opened.
// Only a regular file is read. It is opened without blocking, so that a pipe with no writer
// or a device is refused at once instead of hanging the program, and its lines are read in
// bounded memory.
#include <cstddef>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace bantrisk {

// Which file a name opens (device and inode, links followed).
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity &) const = default;
};
// The identity of the file `name` opens; false when there is none.
bool identity_of(const std::string &name, FileIdentity &id);

// An open input file. Reads fail (badbit) on a read error of the file.
class InputFile : public std::istream {
public:
  ~InputFile() override;
  InputFile(const InputFile &) = delete;
  InputFile &operator=(const InputFile &) = delete;
  const FileIdentity &identity() const { return id_; }

private:
  friend std::unique_ptr<InputFile> open_input_file(const std::string &, std::string &);
  class Buffer : public std::streambuf {
  public:
    explicit Buffer(int fd) : fd_(fd) {}
    ~Buffer() override;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

  protected:
    int_type underflow() override;

  private:
    int fd_;
    char data_[65536];
  };
  InputFile(int fd, FileIdentity id);
  Buffer buffer_;
  FileIdentity id_;
};

// Opens `name` for reading. On failure returns nullptr with the reason in `reason` ("not a
// regular file", or the system's text for the error).
std::unique_ptr<InputFile> open_input_file(const std::string &name, std::string &reason);

// The same; a file that cannot be opened ends the program with the one failure report of an
// input file (a fatal ProgramStop).
std::unique_ptr<InputFile> open_input_file_or_stop(std::string_view name);

} // namespace bantrisk
