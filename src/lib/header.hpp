#pragma once
#include <string_view>

namespace bantrisk {
class Io;
// The boxed program header on destination `iunit` (0 = console). A box wider than 80
// characters is fatal: its message goes to the console and the program stops.
void prog_header(Io &io, std::string_view name, std::string_view title, std::string_view author,
                 std::string_view date, int iunit);
} // namespace bantrisk
