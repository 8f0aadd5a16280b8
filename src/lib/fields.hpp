#pragma once
// Field formatting for every report line: each function returns exactly the width it is asked
// for, or a field of asterisks when the value does not fit. Nothing else in the program
// formats numbers.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace bantrisk {

// A whole number in exactly the characters it needs: "-" and digits, no blanks.
std::string exact_int(std::int64_t v);

// A whole number right-aligned in `w` characters (asterisks when it does not fit).
std::string int_field(std::int64_t v, int w);

// A whole number in exactly `w` digits with leading zeros (a run number in a file name);
// asterisks when it has more than `w` digits or is negative (its sign leaves no room).
std::string zero_filled_int(std::int64_t v, int w);

// A real with `d` decimals right-aligned in `w` characters, the exact half rounded to even as
// printf does (asterisks when it does not fit, or when the value is not finite).
std::string fixed_field(double v, int w, int d);

// The general real field: 14 characters, 7 significant digits; fixed form for magnitudes
// 0.1 <= m < 10000000 (and zero) followed by 4 blanks, else the 0.dddddddE+xx form.
std::string general_real(float v);

// A single-precision real in the fewest characters that read back as the same value ("1000",
// "0.1", "1e+20", "-inf", "nan"): for values in messages, where no field width applies.
std::string shortest_real(float v);

// A text cut or padded on the right to `w` characters.
std::string text_field(std::string_view s, int w);

// One item of a free-format line: a text (written in full) or a whole number (right-aligned
// in 12 characters).
using FreeItem = std::variant<std::string_view, std::int32_t>;

// A free-format line: one blank, then the items with nothing between them. With no item the
// line is empty.
std::string free_format(std::initializer_list<FreeItem> items);

} // namespace bantrisk
