#pragma once
// Shared pieces of the fuzz targets: a private folder for the files an input is written to,
// and a console whose answers come from memory. The folder becomes the current directory, so
// run the targets with absolute corpus paths and an absolute -artifact_prefix (tools/fuzz.sh
// does both).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "lib/console.hpp"
#include "lib/io.hpp"

namespace bantrisk::fuzzing {

// The per-process folder (under TMPDIR when set), made once and removed when the process exits
// normally; a process ended by a fault leaves it behind, so tools/fuzz.sh points TMPDIR into
// its own work folder.
inline const std::filesystem::path &work_dir() {
  static const std::filesystem::path dir = [] {
    const char *tmp = std::getenv("TMPDIR");
    std::string name =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bantrisk-fuzz-XXXXXX";
    if (::mkdtemp(name.data()) == nullptr)
      std::abort();
    std::filesystem::path p(name);
    std::filesystem::current_path(p);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(work_dir(), ec);
    });
    return p;
  }();
  return dir;
}

inline void write_file(const std::filesystem::path &p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Splits `rest` at the first `marker`: returns what is before it and leaves what follows.
inline std::string_view take_until(std::string_view &rest, char marker) {
  const auto at = rest.find(marker);
  const std::string_view head = rest.substr(0, at);
  rest = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
  return head;
}

// A console reading `answers` and writing to memory, with `env` as the whole environment.
struct MemoryConsole {
  explicit MemoryConsole(std::string answers, std::map<std::string, std::string> env = {})
      : in(std::move(answers)), console(in, out),
        io(console, [env = std::move(env)](const std::string &name) -> std::optional<std::string> {
          if (auto it = env.find(name); it != env.end())
            return it->second;
          return std::nullopt;
        }) {}
  // With BANTRISK_FUZZ_ECHO set, the console text goes to stderr at the end (to look at what
  // one input does).
  ~MemoryConsole() {
    static const bool echo = std::getenv("BANTRISK_FUZZ_ECHO") != nullptr;
    if (echo)
      std::cerr << out.str();
  }
  std::istringstream in;
  std::ostringstream out;
  Console console;
  Io io;
};

} // namespace bantrisk::fuzzing
