#pragma once
// Runs the whole pass in-process: answers from a string, console output captured, the
// environment given as a map, inside a fresh temporary folder that becomes the current
// directory for the test's lifetime.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "lib/console.hpp"
#include "lib/io.hpp"
#include "lib/program_stop.hpp"

namespace bantrisk::testing {

// A temporary folder, made the current directory until destroyed.
class ScratchDir {
public:
  ScratchDir() {
    char name[] = "/tmp/bantrisk-test-XXXXXX";
    path_ = ::mkdtemp(name);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string str() const { return path_.string(); }

private:
  std::filesystem::path path_;
  std::filesystem::path old_;
};

inline std::string read_file(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path &p, const std::string &text) {
  std::ofstream out(p, std::ios::binary);
  out << text;
}

struct PassResult {
  int status = -1;
  std::string console;
  std::string errors;
};

using Env = std::map<std::string, std::string>;

inline EnvLookup env_lookup(Env env) {
  return [env = std::move(env)](const std::string &name) -> std::optional<std::string> {
    if (auto it = env.find(name); it != env.end())
      return it->second;
    return std::nullopt;
  };
}

// Runs the pass with `answers` as the console input (one answer per line).
inline PassResult run_pass(const std::string &answers, Env env = {}) {
  std::istringstream in(answers);
  std::ostringstream out, err;
  Console console(in, out);
  Io io(console, env_lookup(std::move(env)));
  dataaccess::Session session;
  PassResult r;
  r.status = bantrisk_nget(io, session, err);
  r.console = out.str();
  r.errors = err.str();
  return r;
}

// How many times `piece` stands in `text`.
inline int occurrences(const std::string &text, const std::string &piece) {
  int n = 0;
  for (auto p = text.find(piece); p != std::string::npos; p = text.find(piece, p + 1))
    ++n;
  return n;
}

// Runs one routine against in-memory streams.
struct ConsoleFixture {
  explicit ConsoleFixture(const std::string &answers = "", Env env = {})
      : in(answers), console(in, out), io(console, env_lookup(std::move(env))) {}
  std::istringstream in;
  std::ostringstream out;
  Console console;
  Io io;
  std::string text() const { return out.str(); }
  // Runs `step`: true when it ends the program, the end told as the dialogue tells it (a fatal
  // end's line on the console).
  template <typename Step> bool stops(Step &&step) {
    try {
      step();
    } catch (const ProgramStop &stop) {
      io.events().stop(stop);
      return true;
    }
    return false;
  }
};

} // namespace bantrisk::testing
