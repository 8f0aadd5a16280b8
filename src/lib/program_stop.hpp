#pragma once
// Every end of the program before its end is one error type: the line that says why and the
// exit status it gives. It is thrown where the end is found, told by the front door that runs the
// pass (the dialogue as its console line, `check` on standard error) and returned by main as the
// process's status.
#include <string>
#include <utility>

namespace bantrisk {

// Exit statuses. The dialogue: 0 a normal end, 1 a fatal end, 2 the console input ended while a
// question waited. `check`: 0 the check completed, 1 it could not complete, 2 the command line
// could not be used; 3 is kept for a check that completed and found faults.
inline constexpr int exit_normal = 0;
inline constexpr int exit_fatal = 1;
inline constexpr int exit_end_of_input = 2;
inline constexpr int exit_usage = 2;
inline constexpr int exit_findings = 3;

class ProgramStop {
public:
  enum class Kind {
    fatal,        // a section cannot go on; the dialogue shows the line on its console
    report,       // a line for standard error: a choice check's options do not make, a failure
    end_of_input, // the console input ended while a question waited
    usage,        // a command line that cannot be used
  };

  // A fatal end of a section, status 1. An empty line: the reason is on the console already.
  static ProgramStop fatal(std::string line) { return {Kind::fatal, std::move(line), exit_fatal}; }
  // A check that cannot go on (status 1), told on standard error.
  static ProgramStop report(std::string line) {
    return {Kind::report, std::move(line), exit_fatal};
  }
  static ProgramStop end_of_input() {
    return {Kind::end_of_input, "end of console input while waiting for an answer",
            exit_end_of_input};
  }
  static ProgramStop usage(std::string what) { return {Kind::usage, std::move(what), exit_usage}; }

  Kind kind() const { return kind_; }
  // Without the line's first blank and without the program's name.
  const std::string &message() const { return message_; }
  int status() const { return status_; }

protected:
  ProgramStop(Kind kind, std::string message, int status)
      : kind_(kind), message_(std::move(message)), status_(status) {}

private:
  Kind kind_;
  std::string message_;
  int status_;
};

// The command line's refusals, thrown as `UsageError{"what is wrong"}`.
struct UsageError : ProgramStop {
  explicit UsageError(std::string what) : ProgramStop(usage(std::move(what))) {}
};

} // namespace bantrisk
