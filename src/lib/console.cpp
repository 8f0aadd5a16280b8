#include "lib/console.hpp"

#include "lib/capacities.hpp"
#include "lib/text.hpp"

namespace bantrisk {

void Console::write_line(std::string_view line) {
  out_ << shown_text(line) << '\n';
  if (flush_lines_)
    out_.flush();
}

void Console::write_prompt(std::string_view text) {
  out_ << shown_text(text);
  out_.flush();
}

namespace {
// Reads one line, keeping at most `keep` characters of it; the count is of every character
// before the line end (a CR right before it not counted). False at the end of the input, and
// for a line longer than max_line_length, which no person types.
bool read_bounded_line(std::istream &in, std::size_t keep, std::string &kept, long &count) {
  kept.clear();
  count = 0;
  bool any = false;
  bool last_cr = false;
  for (char c = 0; in.get(c);) {
    any = true;
    if (c == '\n')
      break;
    if (++count > max_line_length)
      return false;
    last_cr = c == '\r';
    if (kept.size() < keep + 1)
      kept.push_back(c);
  }
  if (!any)
    return false;
  if (last_cr) {
    --count;
    if (kept.size() > static_cast<std::size_t>(count))
      kept.pop_back();
  }
  if (kept.size() > keep)
    kept.resize(keep);
  return true;
}
} // namespace

Answer Console::read_answer() {
  std::string kept;
  long count = 0;
  if (!read_bounded_line(in_, name_length, kept, count))
    throw ProgramStop::end_of_input();
  Answer answer;
  answer.length = static_cast<int>(count);
  answer.text = fixed_text(kept, name_length);
  return answer;
}

bool Console::wait_for_line() {
  std::string kept;
  long count = 0;
  return read_bounded_line(in_, 0, kept, count);
}

} // namespace bantrisk
