#pragma once
// Fixed-length texts. File names, directories and file lines are held as blank-padded texts of
// a fixed length; these helpers build and cut them so each rule is one call.
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace bantrisk {

// `s` cut or padded with blanks on the right to exactly `n` characters.
std::string fixed_text(std::string_view s, std::size_t n);

// The first `n` characters of `s`, padded with blanks when `s` is shorter.
inline std::string first_chars(std::string_view s, std::size_t n) {
  return fixed_text(s, n);
}

// A file name as the program holds it: blank-padded to 80 characters when shorter, kept whole
// when longer.
std::string name_text(std::string_view s);

// The pieces joined into one text.
std::string concat(std::initializer_list<std::string_view> pieces);
// The items joined into one text, `separator` between each two.
std::string joined(const std::vector<std::string> &items, std::string_view separator);

// `s` without its trailing blanks and tabs (the part that LEN_STRING measures).
std::string_view trimmed(std::string_view s);

// `s` as it is shown on the console and written in a file: a control character other than the
// tab (which counts as a blank) is written as an escape, \n, \r, \0 or \xHH, so that a name or
// a variable's value can never make a line of its own or hide in one.
std::string shown_text(std::string_view s);

} // namespace bantrisk
