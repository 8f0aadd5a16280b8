#pragma once
// The console: one owner of the input and output streams, so every question routine and the
// whole driver can run against in-memory streams.
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bantrisk {

// The console input ended while the program waited for an answer.
class EndOfInput : public std::runtime_error {
public:
  EndOfInput() : std::runtime_error("end of console input while waiting for an answer") {}
};

// Ends the program at once (the fatal ends). The message, if any, has already been written.
struct ProgramStop {
  int status = 1;
};

// One answer line: the number of characters typed before the line end (typed trailing blanks
// count, a CR right before it does not) and its first 80 characters, blank-padded. Only those
// are kept, whatever the line's length.
struct Answer {
  int length = 0;
  std::string text; // always 80 characters
};

class Console {
public:
  Console(std::istream &in, std::ostream &out) : in_(in), out_(out) {}

  // A whole line: the text, then a line end.
  void write_line(std::string_view line);
  // A question: written without a line end and flushed, the answer follows on the same line.
  void write_prompt(std::string_view text);
  // Reads one answer line; throws EndOfInput when the input has ended, or on a line longer than
  // max_line_length, which no person types (endless input such as /dev/zero).
  Answer read_answer();
  // Reads one line for the final pause; false when the input has ended.
  bool wait_for_line();
  // True when a console line could not be written (a pipe whose reader has gone, a full disk).
  bool output_failed() const { return out_.fail(); }

private:
  std::istream &in_;
  std::ostream &out_;
};

} // namespace bantrisk
