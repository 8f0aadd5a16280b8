#pragma once
// The console: one owner of the input and output streams, so every question routine and the
// whole driver can run against in-memory streams.
#include <istream>
#include <ostream>
#include <string>
#include <string_view>

#include "lib/program_stop.hpp"

namespace bantrisk {

// One answer line: the number of characters typed before the line end (typed trailing blanks
// count, a CR right before it does not) and its first 80 characters, blank-padded. Only those
// are kept, whatever the line's length.
struct Answer {
  int length = 0;
  std::string text; // always 80 characters
};

class Console {
public:
  // Lines are flushed one by one when `flush_lines` (a terminal); otherwise they wait in the
  // stream's buffer until the next question, or the end.
  Console(std::istream &in, std::ostream &out, bool flush_lines = true)
      : in_(in), out_(out), flush_lines_(flush_lines) {}

  // A whole line: the text, then a line end.
  void write_line(std::string_view line);
  // A question: written without a line end and flushed, the answer follows on the same line.
  void write_prompt(std::string_view text);
  // Reads one answer line; throws ProgramStop::end_of_input() when the input has ended, or on a
  // line longer than max_line_length, which no person types (endless input such as /dev/zero).
  Answer read_answer();
  // Reads one line for the final pause; false when the input has ended.
  bool wait_for_line();
  // Writes out the lines waiting in the buffer.
  void flush() { out_.flush(); }
  // True when a console line could not be written (a pipe whose reader has gone, a full disk).
  bool output_failed() const { return out_.fail(); }

private:
  std::istream &in_;
  std::ostream &out_;
  bool flush_lines_;
};

} // namespace bantrisk
