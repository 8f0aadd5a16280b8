#include "lib/output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <ostream>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/process_guard.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace fs = std::filesystem;

namespace {

// Bytes are handed to the system in blocks of this size.
constexpr std::size_t block_size = 1 << 16;

// The name a link chain finally reaches, one link at a time; the name itself when it is no
// link.
fs::path followed(const fs::path &name) {
  std::error_code ec;
  fs::path target = name;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(target, ec)); ++hops) {
    const fs::path next = fs::read_symlink(target, ec);
    if (ec)
      break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  if (target == name)
    return name;
  const fs::path resolved = fs::weakly_canonical(target, ec);
  return ec ? target : resolved;
}

bool write_all(int fd, std::string_view bytes, int &error) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error = n < 0 ? errno : EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string folder_of(const std::string &path) {
  const fs::path folder = fs::path(path).parent_path();
  return folder.empty() ? std::string(".") : folder.string();
}

void sync_folder_named(const std::string &folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return;
  // A file system that cannot sync a folder has nothing more to do for the renaming.
  ::fsync(fd);
  ::close(fd);
}

} // namespace

OutputTarget resolve_output(const std::string &name) {
  OutputTarget t;
  if (name.empty() || name.find('\0') != std::string::npos)
    return t;
  std::error_code ec;
  fs::path target = followed(fs::path(name));
  auto status = fs::status(target, ec);
  if (!fs::exists(status)) {
    // A link of /proc/self/fd (as /dev/stdout is one) names no file when it stands for a pipe
    // ("pipe:[...]"): the name itself opens the pipe, which is written in place.
    const auto opened = fs::status(name, ec);
    if (fs::exists(opened) && !fs::is_regular_file(opened)) {
      target = name;
      status = opened;
    }
  }
  t.path = target.string();
  t.exists = fs::exists(status);
  t.folder = fs::is_directory(status);
  t.in_place = t.exists && !t.folder && !fs::is_regular_file(status);
  const fs::path absolute = fs::absolute(target, ec);
  const fs::path key = fs::weakly_canonical(ec ? target : absolute, ec);
  t.key = (ec ? absolute : key).lexically_normal().string();
  if (t.exists)
    identity_of(t.path, t.identity);
  return t;
}

bool same_target(const OutputTarget &a, const OutputTarget &b) {
  if (a.path.empty() || b.path.empty())
    return false;
  return a.key == b.key || (a.exists && b.exists && a.identity == b.identity);
}

bool same_target(const OutputTarget &a, const FileIdentity &opened) {
  FileIdentity now;
  // The target may have been made since it was resolved.
  return !a.path.empty() && identity_of(a.path, now) && now == opened;
}

std::unique_ptr<ReplacingFile> ReplacingFile::create(const std::string &path, int &error) {
  error = 0;
  const OutputTarget target = resolve_output(path);
  if (target.path.empty()) {
    error = ENOENT;
    return nullptr;
  }
  if (target.folder) {
    error = EISDIR;
    return nullptr;
  }
  std::unique_ptr<ReplacingFile> file(new ReplacingFile());
  file->path_ = target.path;
  if (target.in_place) {
    // A device or a pipe is written to directly; it cannot be replaced. Opened without
    // blocking: a pipe with no reader is an error now, not a wait for ever.
    file->fd_ = ::open(target.path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (file->fd_ < 0) {
      error = errno;
      return nullptr;
    }
    ::fcntl(file->fd_, F_SETFL, ::fcntl(file->fd_, F_GETFL) & ~O_NONBLOCK);
    return file;
  }

  fs::path temp_name = target.path;
  temp_name.replace_filename(concat({".", temp_name.filename().string(), ".XXXXXX"}));
  std::string temp = temp_name.string();
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  file->fd_ = fd;
  file->temp_ = temp;
  file->slot_ = register_temporary(temp);
  // mkostemp makes the file private: give it the earlier file's permissions, or the usual ones
  // for a new file.
  mode_t mode = 0;
  struct stat earlier {};
  if (target.exists && ::stat(target.path.c_str(), &earlier) == 0) {
    mode = earlier.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  ::fchmod(fd, mode);
  return file;
}

std::unique_ptr<ReplacingFile> ReplacingFile::on_stream(std::ostream &out, std::string name) {
  std::unique_ptr<ReplacingFile> file(new ReplacingFile());
  file->path_ = std::move(name);
  file->stream_ = &out;
  return file;
}

ReplacingFile::~ReplacingFile() {
  discard();
}

void ReplacingFile::fail(int error) {
  if (error_ == 0)
    error_ = error != 0 ? error : EIO;
}

void ReplacingFile::flush_buffer() {
  if (fd_ >= 0 && error_ == 0 && !buffer_.empty()) {
    int error = 0;
    if (!write_all(fd_, buffer_, error))
      fail(error);
  }
  if (stream_ == nullptr)
    buffer_.clear();
}

void ReplacingFile::write(std::string_view bytes) {
  if (state_ != State::writing || error_ != 0)
    return;
  buffer_.append(bytes);
  if (stream_ == nullptr && buffer_.size() >= block_size)
    flush_buffer();
}

void ReplacingFile::write_line(std::string_view line) {
  write(shown_text(line));
  write("\n");
}

bool ReplacingFile::finish() {
  if (state_ != State::writing)
    return state_ == State::finished || state_ == State::placed;
  if (fd_ >= 0) {
    flush_buffer();
    // A device or pipe cannot be synced; what it was given is all there is.
    if (!in_place() && error_ == 0 && ::fsync(fd_) != 0)
      fail(errno);
    // A file system that reports a write error only when the file is closed shows it here.
    if (::close(fd_) != 0 && error_ == 0)
      fail(errno);
    fd_ = -1;
  }
  if (stream_ != nullptr) {
    // A stream cannot be renamed: it is given the whole text now, after the files before it
    // were finished, so that a stream that cannot take it (a full disk, a closed pipe) stops
    // the files from being put in place.
    *stream_ << buffer_;
    stream_->flush();
    buffer_.clear();
    if (!*stream_)
      fail(EIO);
  }
  if (error_ != 0) {
    discard();
    return false;
  }
  state_ = State::finished;
  return true;
}

bool ReplacingFile::put_in_place() {
  if (state_ == State::placed)
    return true;
  if (state_ != State::finished)
    return false;
  if (!temp_.empty() && std::rename(temp_.c_str(), path_.c_str()) != 0) {
    fail(errno);
    discard();
    return false;
  }
  forget_temporary(slot_);
  slot_ = -1;
  state_ = State::placed;
  return true;
}

void ReplacingFile::sync_folder() const {
  if (replaces())
    sync_folder_named(folder_of(path_));
}

bool ReplacingFile::commit() {
  if (!finish() || !put_in_place())
    return false;
  sync_folder();
  return true;
}

void ReplacingFile::discard() {
  if (state_ == State::placed || state_ == State::dropped)
    return;
  state_ = State::dropped;
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  if (!temp_.empty())
    std::remove(temp_.c_str());
  forget_temporary(slot_);
  slot_ = -1;
}

PlacedFiles put_in_place_together(const std::vector<ReplacingFile *> &files) {
  PlacedFiles outcome;
  for (ReplacingFile *file : files) {
    if (!file->finish()) {
      outcome.failed = file;
      outcome.finished = false;
      outcome.error = file->error();
      break;
    }
  }
  if (outcome.failed != nullptr) {
    for (ReplacingFile *file : files) {
      file->discard();
      outcome.not_placed.push_back(file);
    }
    return outcome;
  }
  std::set<std::string> folders;
  for (ReplacingFile *file : files) {
    if (outcome.failed == nullptr && file->put_in_place()) {
      outcome.placed.push_back(file);
      if (file->replaces())
        folders.insert(folder_of(file->path()));
      continue;
    }
    if (outcome.failed == nullptr) {
      outcome.failed = file;
      outcome.error = file->error();
    }
    file->discard();
    outcome.not_placed.push_back(file);
  }
  for (const std::string &folder : folders)
    sync_folder_named(folder);
  return outcome;
}

} // namespace bantrisk
