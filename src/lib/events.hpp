#pragma once
// What the sections tell while they run, besides their report lines: the integration's
// progress, warnings, the input files they find, and how the pass ends when it cannot go on.
// Each front door has its own way of telling them: the dialogue writes the console lines of
// the interactive program, `check` writes its own lines on standard error. Nothing is learnt
// back from the text written for people.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace bantrisk {

class Console;
class ProgramStop;

class Events {
public:
  virtual ~Events() = default;
  // Spectrum `s` of `total` is being integrated (every hundredth spectrum).
  virtual void progress(std::int32_t s, std::int32_t total) = 0;
  // Something of an input was left out or taken otherwise, and the pass goes on. `text` is the
  // warning without the line's first blank ("** WARNING: ...").
  virtual void warning(std::string_view text) = 0;
  // An input file was found (its full name) and is being read.
  virtual void input_found(const std::string &full_name) = 0;
  // The pass ends before its end.
  virtual void stop(const ProgramStop &stop) = 0;
};

// The dialogue's: progress and warnings as console lines, a fatal end as its console line, and
// the other ends (the console input ending) as one line on `err`.
class ConsoleEvents final : public Events {
public:
  ConsoleEvents(Console &con, std::ostream &err) : con_(con), err_(err) {}
  void progress(std::int32_t s, std::int32_t total) override;
  void warning(std::string_view text) override;
  void input_found(const std::string &) override {}
  void stop(const ProgramStop &stop) override;

private:
  Console &con_;
  std::ostream &err_;
};

} // namespace bantrisk
