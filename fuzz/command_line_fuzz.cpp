// Feeds arbitrary command lines to the parser of `bantrisk check`: the bytes split at NUL into
// arguments. Every one must end as a check's options, help, version or one usage error, and an
// accepted check must hold exactly one source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back() += static_cast<char>(data[i]);
  }
  try {
    const bantrisk::ParsedCommandLine parsed = bantrisk::parse_command_line(args);
    if (parsed.request == bantrisk::Request::check) {
      const bantrisk::CheckOptions &o = parsed.options;
      const int sources = (o.run ? 1 : 0) + (o.run_file ? 1 : 0) + (o.integrals ? 1 : 0);
      if (sources != 1)
        std::abort();
    }
  } catch (const bantrisk::UsageError &e) {
    if (e.message().empty())
      std::abort();
  }
  return 0;
}
