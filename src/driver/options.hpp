#pragma once
// The options of `bantrisk check`, in one table: the reading of the command line (CLI11, its
// options made from the rows), `--help`, the manual page and the shell completion are all made
// from it, so an option, its default and its words are written once.
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/check_command.hpp"
#include "lib/program_stop.hpp"

namespace bantrisk {

enum class Takes {
  nothing,  // a flag
  optional, // `--save-integrals` or `--save-integrals=FILE`
  value     // `--run N` or `--run=N`
};

// What a shell offers after the option.
enum class Completes { nothing, file, folder, choice };

// What the option asks for beyond setting a value.
enum class Action { store, help, version };

struct OptionDef {
  std::string_view name{};       // "--run"
  char short_name = 0;           // 'q' for -q; 0 when there is none
  std::string_view value_name{}; // "N", "FILE"; empty for a flag
  Takes takes = Takes::nothing;
  bool repeatable = false;
  std::string group{}; // the heading it is shown under
  std::string help{};  // what it does, in a user's words, its default included
  Completes completes = Completes::nothing;
  std::vector<std::string_view> choices{}; // the values it takes, when they are a few words
  Action action = Action::store;
  // Reads the value into the options, refusing a bad one with a UsageError. For a flag the value
  // is empty; for --save-integrals given without one it is empty too.
  std::function<void(CheckOptions &, const std::string &value)> store{};
};

// Every option of `check`, in the order of the help text.
const std::vector<OptionDef> &check_option_table();

// The parts of the help and the manual that are not options: each entry is a term and its
// explanation.
struct DocEntry {
  std::string term;
  std::string text;
};
struct ProgramDoc {
  std::string summary;                  // one sentence: what the program does
  std::vector<DocEntry> usage;          // the command forms
  std::vector<std::string> description; // paragraphs
  std::vector<DocEntry> environment, files, exit_status;
  std::vector<DocEntry> examples; // a command and what it does
};
const ProgramDoc &program_doc();

// What a command line asks for. `options` is set for `check`.
enum class Request { dialogue, help, version, check };
struct ParsedCommandLine {
  Request request = Request::dialogue;
  CheckOptions options;
};

// Reads the arguments that follow the program's name (none: the dialogue) with CLI11. A command
// line that cannot be used is a UsageError whose one line, in the program's words, names the
// option.
ParsedCommandLine parse_command_line(std::span<const std::string> args);

// The texts made from the table: the usage of `--help`, the manual page bantrisk(1) in roff
// and the bash completion script.
std::string help_text();
std::string manual_page();
std::string bash_completion();

} // namespace bantrisk
