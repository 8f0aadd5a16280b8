#include "lib/console.hpp"

#include "lib/capacities.hpp"
#include "lib/text.hpp"

namespace bantrisk {

void Console::write_line(std::string_view line) {
  out_ << line << '\n';
  if (flush_lines_)
    out_.flush();
}

void Console::write_prompt(std::string_view text) {
  out_ << text;
  out_.flush();
}

Answer Console::read_answer() {
  std::string line;
  if (!std::getline(in_, line))
    throw EndOfInput();
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  Answer answer;
  answer.length = static_cast<int>(std::min<std::size_t>(line.size(), 0x7fffffff));
  answer.text = fixed_text(line, name_length);
  return answer;
}

bool Console::wait_for_line() {
  std::string line;
  return static_cast<bool>(std::getline(in_, line));
}

} // namespace bantrisk
