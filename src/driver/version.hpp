#pragma once
// The program's version, from the project version of the build.
#include <string_view>

namespace bantrisk {
inline constexpr std::string_view program_version = BANTRISK_VERSION;
} // namespace bantrisk
