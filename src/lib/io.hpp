#pragma once
// Where the program's lines go: the console (destination 0) and the output files connected to
// destination numbers by open_new_file. Also the process environment, injectable for tests.
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lib/console.hpp"
#include "lib/input_file.hpp"

namespace bantrisk {

// An output file that replaces an earlier file of its name only when it is complete: the lines
// go to a temporary file in the same folder, which commit() renames over the final name.
// Destroyed without commit(), the temporary file is removed and any earlier file stays.
// A link is followed to the file it names (created when it does not exist). A device or pipe is
// written in place instead; one that cannot be opened at once (a pipe with no reader) is an
// error. A folder that takes no new file is an error, even when the earlier file is writable.
class ReplacingFile {
public:
  // Creates the temporary file; on failure returns nullptr and sets `error` (an errno value).
  static std::unique_ptr<ReplacingFile> create(const std::string &path, int &error);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile &) = delete;
  ReplacingFile &operator=(const ReplacingFile &) = delete;

  void write_line(std::string_view line);
  // Writes bytes as they are (a picture file).
  void write(std::string_view bytes);
  // Flushes and renames; false (and the earlier file kept) when writing or renaming failed.
  bool commit();
  // Drops what was written: the temporary file is removed, any earlier file stays.
  void discard();
  const std::string &path() const { return path_; }
  // True when the lines go straight into the file (a device or a pipe).
  bool in_place() const { return temp_.empty(); }

private:
  ReplacingFile(std::string path, std::string temp)
      : path_(std::move(path)), temp_(std::move(temp)) {}
  const std::string &writing() const { return temp_.empty() ? path_ : temp_; }
  std::string path_;
  std::string temp_;
  std::ofstream out_;
  int slot_ = -1; // of the temporary file, for the signal handler
  bool done_ = false;
};

// The refusal of an output file that is an input of this check.
void refuse_input_as_output(Console &con, std::string_view name);

using EnvLookup = std::function<std::optional<std::string>(const std::string &)>;

// The process environment.
std::optional<std::string> process_env(const std::string &name);

class Io {
public:
  explicit Io(Console &console, EnvLookup env = process_env)
      : console_(console), env_(std::move(env)) {}
  ~Io();
  Io(const Io &) = delete;
  Io &operator=(const Io &) = delete;

  Console &console() { return console_; }
  std::optional<std::string> getenv(const std::string &name) const { return env_(name); }

  // A line on destination `unit`: 0 is the console; a file destination that is not connected
  // (its creation failed) drops the line.
  void write_line(int unit, std::string_view line);

  void connect(int unit, std::unique_ptr<ReplacingFile> file);
  bool connected(int unit) const { return files_.count(unit) != 0; }
  // Closes a file destination, putting the file in place. A failure to write or to put it in
  // place is reported on the console and gives false (the earlier file is kept).
  bool close(int unit);
  // Closes every file destination (the program is ending).
  void close_all();
  // Notes that `name` is an input of this check (the run file, the spectrum file list, the
  // spectra file): no output file may replace it.
  void guard_input(const std::string &name);
  // True when `name` opens one of those inputs (device and inode, links followed).
  bool is_input(std::string_view name) const;
  // An output whose full name `name` opens an input: refused on the console and noted as an
  // output that could not be written.
  void refuse_output(std::string_view name);
  // Notes an output file that could not be created (open_new_file's error report), with one
  // line saying what went wrong.
  void note_output_failure(std::string what) { failures_.push_back(std::move(what)); }
  // True when an output file could not be created or completely written.
  bool output_failed() const { return !failures_.empty(); }
  // One line for each output file that could not be created or completely written.
  const std::vector<std::string> &output_failures() const { return failures_; }
  // True when destination `unit` was last closed with its file complete and in place.
  bool completed(int unit) const { return completed_.count(unit) != 0; }
  // Every line written to destination `unit` is also handed to `observer`, whether or not the
  // destination is connected.
  void mirror(int unit, std::function<void(std::string_view)> observer) {
    mirrors_[unit] = std::move(observer);
  }

private:
  Console &console_;
  EnvLookup env_;
  std::map<int, std::unique_ptr<ReplacingFile>> files_;
  std::map<int, std::function<void(std::string_view)>> mirrors_;
  std::set<int> completed_;
  std::vector<std::string> failures_;
  std::vector<FileIdentity> inputs_;
};

} // namespace bantrisk
