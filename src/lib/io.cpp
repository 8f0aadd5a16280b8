#include "lib/io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fields.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::optional<std::string> process_env(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr)
    return std::nullopt;
  return std::string(value);
}

std::unique_ptr<ReplacingFile> ReplacingFile::create(const std::string &path, int &error) {
  namespace fs = std::filesystem;
  error = 0;
  std::error_code ec;
  if (path.empty() || path.find('\0') != std::string::npos) {
    error = ENOENT;
    return nullptr;
  }
  fs::path target(path);
  // A link is followed: the file it names is the one replaced, and the link stays.
  if (fs::is_symlink(fs::symlink_status(target, ec))) {
    const fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec)
      target = resolved;
  }
  const auto status = fs::status(target, ec);
  if (fs::is_directory(status)) {
    error = EISDIR;
    return nullptr;
  }
  const bool exists = fs::exists(status);

  std::unique_ptr<ReplacingFile> file;
  if (exists && !fs::is_regular_file(status)) {
    // A device or a pipe is written to directly; it cannot be replaced.
    file.reset(new ReplacingFile(target.string(), ""));
  } else {
    fs::path temp_name = target;
    temp_name.replace_filename(concat({".", target.filename().string(), ".XXXXXX"}));
    std::string temp = temp_name.string();
    const int fd = ::mkstemp(temp.data());
    if (fd >= 0) {
      ::close(fd);
      // mkstemp makes the file private: give it the earlier file's permissions, or the usual
      // ones for a new file.
      mode_t mode = 0;
      if (exists) {
        mode = static_cast<mode_t>(status.permissions() & fs::perms::all);
      } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
      }
      ::chmod(temp.c_str(), mode);
      file.reset(new ReplacingFile(target.string(), temp));
    } else if (exists && (errno == EACCES || errno == EROFS || errno == EPERM)) {
      // The folder takes no new file but the earlier file may be writable: write it in place.
      file.reset(new ReplacingFile(target.string(), ""));
    } else {
      error = errno;
      return nullptr;
    }
  }
  file->out_.open(file->writing(), std::ios::out | std::ios::trunc);
  if (!file->out_) {
    error = errno != 0 ? errno : EIO;
    file->done_ = true; // nothing to put in place
    if (!file->temp_.empty())
      std::remove(file->temp_.c_str());
    return nullptr;
  }
  return file;
}

ReplacingFile::~ReplacingFile() {
  if (!done_) {
    out_.close();
    if (!temp_.empty())
      std::remove(temp_.c_str());
  }
}

void ReplacingFile::write_line(std::string_view line) {
  out_ << line << '\n';
}

void ReplacingFile::write(std::string_view bytes) {
  out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool ReplacingFile::commit() {
  if (done_)
    return true;
  done_ = true;
  out_.flush();
  const bool written = static_cast<bool>(out_);
  out_.close();
  if (temp_.empty())
    return written; // written in place
  if (!written || std::rename(temp_.c_str(), path_.c_str()) != 0) {
    std::remove(temp_.c_str());
    return false;
  }
  return true;
}

Io::~Io() {
  close_all();
}

void Io::write_line(int unit, std::string_view line) {
  if (auto m = mirrors_.find(unit); m != mirrors_.end())
    m->second(line);
  if (unit == 0) {
    console_.write_line(line);
    return;
  }
  if (auto it = files_.find(unit); it != files_.end())
    it->second->write_line(line);
}

void Io::connect(int unit, std::unique_ptr<ReplacingFile> file) {
  close(unit);
  completed_.erase(unit);
  files_[unit] = std::move(file);
}

bool Io::close(int unit) {
  auto it = files_.find(unit);
  if (it == files_.end())
    return false;
  auto file = std::move(it->second);
  files_.erase(it);
  if (file->commit()) {
    completed_.insert(unit);
    return true;
  }
  const std::string_view outcome =
      file->in_place() ? "the file is incomplete" : "the earlier version is kept";
  failures_.push_back(concat({"error writing ", file->path(), ": ", outcome}));
  console_.write_line(
      free_format({"** Error writing file ", std::string_view(file->path()), " : ", outcome, " **"}));
  return false;
}

void Io::close_all() {
  while (!files_.empty())
    close(files_.begin()->first);
}

} // namespace bantrisk
