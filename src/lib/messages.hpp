#pragma once
// Message writers (a text followed by an exact-width number) and the length measures.
#include <cstdint>
#include <string_view>

namespace bantrisk {

class Console;
class Io;

// Characters a whole number needs: its digits, plus one for a minus sign.
int len_int(std::int64_t ival);
// Position of the last character that is neither a blank nor a tab; 0 when there is none.
int len_string(std::string_view s);

// " ", text, ival — on the console.
void pr_int(Console &con, std::string_view text, std::int32_t ival);
// " ", text1, ival1, text2, ival2 — on the console.
void pr_int_2(Console &con, std::string_view text1, std::int32_t ival1, std::string_view text2,
              std::int32_t ival2);
// " ", text1, ival1, text2, ival2, text3, ival3 — on destination `iunit` (0 = console).
void pr_int_3(Io &io, std::string_view text1, std::int32_t ival1, std::string_view text2,
              std::int32_t ival2, std::string_view text3, std::int32_t ival3, int iunit);

} // namespace bantrisk
