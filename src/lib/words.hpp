#pragma once
#include <span>
#include <string_view>

namespace bantrisk {
// Finds the words of `line` (runs of characters that are neither blanks nor tabs). iw[0..nw-1]
// receive the 1-based positions where the words begin and iw[nw] the position after the last
// word. A line of blanks gives nw 0 and leaves iw as it was. Positions that do not fit in `iw`
// are not stored (nw still counts every word).
void count_word(std::string_view line, std::span<int> iw, int &nw);
} // namespace bantrisk
