#include "lib/io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
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
  if (fs::is_directory(path, ec)) {
    error = EISDIR;
    return nullptr;
  }
  const fs::path target(path);
  fs::path temp_name = target;
  temp_name.replace_filename(concat({".", target.filename().string(), ".XXXXXX"}));
  std::string temp = temp_name.string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  ::close(fd);
  // mkstemp makes the file private; a replaced output file gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::chmod(temp.c_str(), 0666 & ~mask);
  std::unique_ptr<ReplacingFile> file(new ReplacingFile(path, temp));
  file->out_.open(temp, std::ios::out | std::ios::trunc);
  if (!file->out_) {
    error = EIO;
    return nullptr;
  }
  return file;
}

ReplacingFile::~ReplacingFile() {
  if (!done_) {
    out_.close();
    std::remove(temp_.c_str());
  }
}

void ReplacingFile::write_line(std::string_view line) { out_ << line << '\n'; }

bool ReplacingFile::commit() {
  if (done_)
    return true;
  done_ = true;
  out_.flush();
  const bool written = static_cast<bool>(out_);
  out_.close();
  if (!written || std::rename(temp_.c_str(), path_.c_str()) != 0) {
    std::remove(temp_.c_str());
    return false;
  }
  return true;
}

Io::~Io() { close_all(); }

void Io::write_line(int unit, std::string_view line) {
  if (unit == 0) {
    console_.write_line(line);
    return;
  }
  if (auto it = files_.find(unit); it != files_.end())
    it->second->write_line(line);
}

void Io::connect(int unit, std::unique_ptr<ReplacingFile> file) {
  close(unit);
  files_[unit] = std::move(file);
}

bool Io::close(int unit) {
  auto it = files_.find(unit);
  if (it == files_.end())
    return false;
  auto file = std::move(it->second);
  files_.erase(it);
  if (file->commit())
    return true;
  console_.write_line(free_format({"** Error writing file ", std::string_view(file->path()),
                                   " : the earlier version is kept **"}));
  return false;
}

void Io::close_all() {
  while (!files_.empty())
    close(files_.begin()->first);
}

} // namespace bantrisk
