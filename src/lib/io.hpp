#pragma once
// Where the program's lines go: the console (destination 0) and the output files connected to
// destination numbers by open_new_file. Also the process environment, injectable for tests.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lib/console.hpp"
#include "lib/events.hpp"
#include "lib/input_file.hpp"
#include "lib/output_file.hpp"

namespace bantrisk {

// The refusal of an output file that is an input of this check.
void refuse_input_as_output(Console &con, std::string_view name);

using EnvLookup = std::function<std::optional<std::string>(const std::string &)>;

// The process environment.
std::optional<std::string> process_env(const std::string &name);

class Io {
public:
  // Events go to the console (and standard error) as the dialogue tells them, until use_events.
  explicit Io(Console &console, EnvLookup env = process_env);
  ~Io();
  Io(const Io &) = delete;
  Io &operator=(const Io &) = delete;

  Console &console() { return console_; }
  std::optional<std::string> getenv(const std::string &name) const { return env_(name); }
  Events &events() { return *events_; }
  // Events told to `events` from now on; nullptr for the console's again.
  void use_events(Events *events) { events_ = events != nullptr ? events : &console_events_; }

  // How closed files are put in place: each when it is closed (the dialogue), or all together
  // by the caller once the pass has completed (check), closing only finishing them.
  enum class Commit { at_close, together };
  void commit(Commit when) { commit_ = when; }
  // The file destination `unit` will be connected to when open_new_file creates it, made
  // beforehand so that an output that cannot be made is known before any work.
  void reserve(int unit, std::unique_ptr<ReplacingFile> file);
  std::unique_ptr<ReplacingFile> take_reserved(int unit);
  // With Commit::together: the file closed on `unit`, finished and waiting to be put in place.
  std::unique_ptr<ReplacingFile> take_finished(int unit);

  // A line on destination `unit`: 0 is the console; a file destination that is not connected
  // (its creation failed) drops the line.
  void write_line(int unit, std::string_view line);

  void connect(int unit, std::unique_ptr<ReplacingFile> file);
  bool connected(int unit) const { return files_.count(unit) != 0; }
  // Closes a file destination, putting the file in place (with Commit::together, finishing it).
  // A failure to write or to put it in place is reported on the console and gives false (the
  // earlier file is kept).
  bool close(int unit);
  // Closes every file destination (the program is ending).
  void close_all();
  // Drops every file, connected, reserved or finished: nothing is put in place.
  void discard_all();
  // Notes that `name` is an input of this check (the run file, the spectrum file list, the
  // spectra file), which no output file may replace, and tells it as found.
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
  // True when destination `unit` was last closed with its file complete and in place (with
  // Commit::together, finished).
  bool completed(int unit) const { return completed_.count(unit) != 0; }
  // Every line written to destination `unit` is also handed to `observer`, whether or not the
  // destination is connected.
  void mirror(int unit, std::function<void(std::string_view)> observer) {
    mirrors_[unit] = std::move(observer);
  }

private:
  Console &console_;
  EnvLookup env_;
  ConsoleEvents console_events_;
  Events *events_;
  Commit commit_ = Commit::at_close;
  std::map<int, std::unique_ptr<ReplacingFile>> files_, reserved_, finished_;
  std::map<int, std::function<void(std::string_view)>> mirrors_;
  std::set<int> completed_;
  std::vector<std::string> failures_;
  std::vector<FileIdentity> inputs_;
};

} // namespace bantrisk
