#include "lib/io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "lib/fields.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::optional<std::string> process_env(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  if (value == nullptr)
    return std::nullopt;
  return std::string(value);
}

Io::Io(Console &console, EnvLookup env)
    : console_(console), env_(std::move(env)), console_events_(console, std::cerr),
      events_(&console_events_) {}

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

void Io::reserve(int unit, std::unique_ptr<ReplacingFile> file) {
  reserved_[unit] = std::move(file);
}

namespace {
std::unique_ptr<ReplacingFile> taken(std::map<int, std::unique_ptr<ReplacingFile>> &files,
                                     int unit) {
  const auto it = files.find(unit);
  if (it == files.end())
    return nullptr;
  auto file = std::move(it->second);
  files.erase(it);
  return file;
}
} // namespace

std::unique_ptr<ReplacingFile> Io::take_reserved(int unit) {
  return taken(reserved_, unit);
}

std::unique_ptr<ReplacingFile> Io::take_finished(int unit) {
  return taken(finished_, unit);
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
  // Together, a file is finished when it is closed and put in place with the others at the end;
  // a stream is given its text only then, once every file before it is finished.
  const bool done = commit_ == Commit::together ? file->on_stream() || file->finish()
                                                : file->commit();
  if (done) {
    completed_.insert(unit);
    if (commit_ == Commit::together)
      finished_[unit] = std::move(file);
    return true;
  }
  const std::string_view outcome =
      file->in_place() ? "the file is incomplete" : "the earlier version is kept";
  failures_.push_back(concat({"error writing ", file->path(), ": ",
                              std::strerror(file->error() != 0 ? file->error() : EIO)}));
  console_.write_line(free_format(
      {"** Error writing file ", std::string_view(file->path()), " : ", outcome, " **"}));
  return false;
}

void Io::guard_input(const std::string &name) {
  FileIdentity id;
  if (identity_of(name, id))
    inputs_.push_back(id);
  events_->input_found(name);
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

void Io::discard_all() {
  for (auto *files : {&files_, &reserved_, &finished_}) {
    for (auto &[unit, file] : *files)
      file->discard();
    files->clear();
  }
  completed_.clear();
}

} // namespace bantrisk
