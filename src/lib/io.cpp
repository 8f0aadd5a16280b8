#include "lib/io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fields.hpp"
#include "lib/process_guard.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::optional<std::string> process_env(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr)
    return std::nullopt;
  return std::string(value);
}

namespace {

// The file a name finally stands for: links are followed one by one, so that a link to a file
// that does not exist yet names that file (which is then created) rather than being replaced.
std::filesystem::path followed(const std::filesystem::path &name) {
  namespace fs = std::filesystem;
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

} // namespace

std::unique_ptr<ReplacingFile> ReplacingFile::create(const std::string &path, int &error) {
  namespace fs = std::filesystem;
  error = 0;
  std::error_code ec;
  if (path.empty() || path.find('\0') != std::string::npos) {
    error = ENOENT;
    return nullptr;
  }
  fs::path target = followed(fs::path(path));
  auto status = fs::status(target, ec);
  if (!fs::exists(status)) {
    // A link of /proc/self/fd (as /dev/stdout is one) names no file when it stands for a pipe
    // ("pipe:[...]"): the name itself opens the pipe, which is written in place.
    const auto opened = fs::status(path, ec);
    if (fs::exists(opened) && !fs::is_regular_file(opened)) {
      target = path;
      status = opened;
    }
  }
  if (fs::is_directory(status)) {
    error = EISDIR;
    return nullptr;
  }
  const bool exists = fs::exists(status);

  std::unique_ptr<ReplacingFile> file;
  int probe = -1;
  if (exists && !fs::is_regular_file(status)) {
    // A device or a pipe is written to directly; it cannot be replaced. Opened without
    // blocking first: a pipe with no reader is an error now, not a wait for ever.
    probe = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (probe < 0) {
      error = errno;
      return nullptr;
    }
    file.reset(new ReplacingFile(target.string(), ""));
  } else {
    fs::path temp_name = target;
    temp_name.replace_filename(concat({".", target.filename().string(), ".XXXXXX"}));
    std::string temp = temp_name.string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
      // A folder that takes no new file is refused even when the earlier file could be
      // written in place: a failed or interrupted write would destroy it.
      error = errno;
      return nullptr;
    }
    const int slot = register_temporary(temp);
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
    file->slot_ = slot;
  }
  file->out_.open(file->writing(), std::ios::out | std::ios::trunc);
  if (probe >= 0)
    ::close(probe);
  if (!file->out_) {
    error = errno != 0 ? errno : EIO;
    file->discard();
    return nullptr;
  }
  return file;
}

ReplacingFile::~ReplacingFile() {
  discard();
}

void ReplacingFile::discard() {
  if (done_)
    return;
  done_ = true;
  out_.close();
  if (!temp_.empty())
    std::remove(temp_.c_str());
  forget_temporary(slot_);
}

void ReplacingFile::write_line(std::string_view line) {
  out_ << shown_text(line) << '\n';
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
  const bool closed = static_cast<bool>(out_);
  if (temp_.empty())
    return written && closed; // written in place
  const bool renamed = written && closed && std::rename(temp_.c_str(), path_.c_str()) == 0;
  if (!renamed)
    std::remove(temp_.c_str());
  forget_temporary(slot_);
  return renamed;
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
  if (is_input(file->path())) {
    // Named like an input of this check through a link made meanwhile: never replaced.
    file->discard();
    refuse_output(file->path());
    return false;
  }
  if (file->commit()) {
    completed_.insert(unit);
    return true;
  }
  const std::string_view outcome =
      file->in_place() ? "the file is incomplete" : "the earlier version is kept";
  failures_.push_back(concat({"error writing ", file->path(), ": ", outcome}));
  console_.write_line(free_format(
      {"** Error writing file ", std::string_view(file->path()), " : ", outcome, " **"}));
  return false;
}

void Io::guard_input(const std::string &name) {
  FileIdentity id;
  if (identity_of(name, id))
    inputs_.push_back(id);
}

bool Io::is_input(std::string_view name) const {
  FileIdentity id;
  if (!identity_of(std::string(trimmed(name)), id))
    return false;
  return std::find(inputs_.begin(), inputs_.end(), id) != inputs_.end();
}

namespace {
std::string input_refusal(std::string_view name) {
  return concat({trimmed(name), " is an input file of this check: not replaced"});
}
} // namespace

void refuse_input_as_output(Console &con, std::string_view name) {
  con.write_line(free_format({"** ERROR: ", input_refusal(name), " **"}));
}

void Io::refuse_output(std::string_view name) {
  refuse_input_as_output(console_, name);
  failures_.push_back(input_refusal(name));
}

void Io::close_all() {
  while (!files_.empty())
    close(files_.begin()->first);
}

} // namespace bantrisk
