#pragma once
// The question routines. Each writes " Give <label> ... > ", reads one answer line and repeats
// the question, without a message, until the answer is acceptable. With idef 1 the variable's
// current value is shown as the default and an empty answer keeps it.
#include <cstdint>
#include <string>
#include <string_view>

namespace bantrisk {

class Console;

void get_intd(Console &con, std::int32_t &ival, std::string_view text, int idef);

// `string` is a text of the caller's length (its size). On an accepted answer it receives the
// answer's first 80 characters (cut or blank-padded to its length) and `nchar` the number of
// characters typed.
void get_stringd(Console &con, std::string &string, std::string_view text, int &nchar, int idef);

void get_paramd(Console &con, float &param, std::string_view text, int idef);

void get_2paramd(Console &con, float &param1, float &param2, std::string_view text1,
                 std::string_view text2, int idef);

} // namespace bantrisk
