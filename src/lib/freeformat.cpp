#include "lib/freeformat.hpp"

#include "lib/capacities.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace bantrisk {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool ends_value(char c) {
  return is_blank(c) || c == ',' || c == '/';
}

// Walks the records of one read. `next` fetches the following record when the current one is
// used up; without it the read ends with its text.
class Scanner {
public:
  Scanner(std::string_view first, std::istream *more) : rec_(first), more_(more) {}

  ReadStatus read(std::span<const FreeTarget> targets) {
    for (const auto &target : targets) {
      if (!skip_to_item())
        return ReadStatus::end_of_data;
      const char c = rec_[pos_];
      if (c == '/')
        return ReadStatus::ok;
      if (c == ',') { // null value
        ++pos_;
        continue;
      }
      const std::size_t start = pos_;
      while (pos_ < rec_.size() && !ends_value(rec_[pos_]))
        ++pos_;
      const std::string_view token = rec_.substr(start, pos_ - start);
      const bool ok = std::visit(
          [&](auto *dest) {
            using T = std::remove_pointer_t<decltype(dest)>;
            T value{};
            bool parsed;
            if constexpr (std::is_same_v<T, float>)
              parsed = parse_real(token, value);
            else
              parsed = parse_whole(token, value);
            if (parsed)
              *dest = value;
            return parsed;
          },
          target);
      if (!ok)
        return ReadStatus::bad_value;
      // The separator after a value: blanks, then at most one comma.
      while (pos_ < rec_.size() && is_blank(rec_[pos_]))
        ++pos_;
      if (pos_ < rec_.size() && rec_[pos_] == ',')
        ++pos_;
    }
    return ReadStatus::ok;
  }

private:
  // Skips blanks and tabs, moving to further records when one is used up.
  bool skip_to_item() {
    for (;;) {
      while (pos_ < rec_.size() && is_blank(rec_[pos_]))
        ++pos_;
      if (pos_ < rec_.size())
        return true;
      if (more_ == nullptr || !read_text_line(*more_, buffer_))
        return false;
      rec_ = buffer_;
      pos_ = 0;
    }
  }

  std::string_view rec_;
  std::istream *more_;
  std::string buffer_;
  std::size_t pos_ = 0;
};

} // namespace

bool parse_whole(std::string_view token, std::int32_t &value) {
  std::size_t i = 0;
  if (i < token.size() && (token[i] == '+' || token[i] == '-'))
    ++i;
  if (i == token.size())
    return false;
  for (std::size_t k = i; k < token.size(); ++k)
    if (!is_digit(token[k]))
      return false;
  if (token.front() == '+')
    token.remove_prefix(1); // from_chars takes no plus sign
  std::int32_t parsed = 0;
  const auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), parsed);
  if (ec != std::errc() || end != token.data() + token.size())
    return false; // outside the 32-bit range
  value = parsed;
  return true;
}

bool parse_real(std::string_view token, float &value) {
  std::string normal;
  std::size_t i = 0;
  if (i < token.size() && (token[i] == '+' || token[i] == '-'))
    normal += token[i++];
  int mantissa_digits = 0;
  while (i < token.size() && is_digit(token[i])) {
    normal += token[i++];
    ++mantissa_digits;
  }
  if (i < token.size() && token[i] == '.') {
    normal += token[i++];
    while (i < token.size() && is_digit(token[i])) {
      normal += token[i++];
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0)
    return false;
  if (i < token.size()) {
    const char e = token[i];
    if (e != 'E' && e != 'e' && e != 'D' && e != 'd')
      return false;
    normal += 'e';
    ++i;
    if (i < token.size() && (token[i] == '+' || token[i] == '-'))
      normal += token[i++];
    int exponent_digits = 0;
    while (i < token.size() && is_digit(token[i])) {
      normal += token[i++];
      ++exponent_digits;
    }
    if (exponent_digits == 0 || i != token.size())
      return false;
  }
  const double parsed = std::strtod(normal.c_str(), nullptr);
  const float single = static_cast<float>(parsed);
  if (!std::isfinite(single))
    return false; // beyond the range of a single-precision real
  value = single;
  return true;
}

bool read_text_line(std::istream &in, std::string &line) {
  using traits = std::istream::traits_type;
  line.clear();
  const std::istream::sentry ready(in, true);
  if (!ready)
    return false;
  // Straight from the stream's buffer: a line of a spectra file of 20000 entries is read a
  // character at a time, and the stream's own get() costs a sentry for every one of them.
  std::streambuf &buf = *in.rdbuf();
  bool any = false;
  try {
    for (;;) {
      const traits::int_type c = buf.sbumpc();
      if (traits::eq_int_type(c, traits::eof())) {
        in.setstate(std::ios::eofbit | std::ios::failbit);
        break;
      }
      any = true;
      if (c == '\n')
        break;
      if (line.size() >= static_cast<std::size_t>(max_line_length)) {
        // An endless record is a damaged file: the read fails rather than fill the memory.
        line.clear();
        in.setstate(std::ios::badbit);
        return false;
      }
      line.push_back(traits::to_char_type(c));
    }
  } catch (const std::ios_base::failure &) {
    // A read error of the file's buffer.
    line.clear();
    in.setstate(std::ios::badbit);
    return false;
  }
  if (!any)
    return false;
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  return true;
}

ReadStatus read_free(std::string_view text, std::span<const FreeTarget> targets) {
  return Scanner(text, nullptr).read(targets);
}

ReadStatus read_free(std::istream &in, std::span<const FreeTarget> targets) {
  std::string first;
  ReadStatus status = ReadStatus::end_of_data;
  if (targets.empty())
    status = read_text_line(in, first) ? ReadStatus::ok : ReadStatus::end_of_data;
  else if (read_text_line(in, first))
    status = Scanner(first, &in).read(targets);
  // A read error or an endless record is never the end of the data.
  return in.bad() ? ReadStatus::bad_value : status;
}

} // namespace bantrisk
