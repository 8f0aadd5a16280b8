#pragma once
// Free-format input: the one reader behind every typed answer and every input file.
//
// Values are separated by blanks or tabs, or by a comma with blanks or tabs around it; a comma
// with no value before it is a null value (its variable keeps its value); a slash ends the read,
// the variables not yet read keeping their values. A whole number is an optional sign and
// digits within the 32-bit range; a real is an optional sign, digits with an optional point and
// an optional E or D exponent. Repeat counts and quoted texts are not accepted.
#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace bantrisk {

using FreeTarget = std::variant<std::int32_t *, float *>;

enum class ReadStatus {
  ok,         // every wanted value read (or a slash ended the read)
  bad_value,  // a value that is not of the wanted kind
  end_of_data // the text (or the file) ended before all wanted values were found
};

// Reads the targets in order from one text (an answer's 80 kept characters).
ReadStatus read_free(std::string_view text, std::span<const FreeTarget> targets);

// Reads the targets from a text file: the read starts on a new line, continues on the
// following lines when a line holds too few values, and ignores the rest of its last line.
ReadStatus read_free(std::istream &in, std::span<const FreeTarget> targets);

// One line of a text file without its line end (a CR before the LF is dropped); false at end
// of file, and false with badbit set on a read error or a line longer than max_line_length.
// read_free above gives bad_value in those cases.
bool read_text_line(std::istream &in, std::string &line);

// The conversions, exposed for the tests: the whole token must be a value of the kind.
bool parse_whole(std::string_view token, std::int32_t &value);
bool parse_real(std::string_view token, float &value);

} // namespace bantrisk
