#pragma once
// The program's command line: no arguments for the interactive dialogue, `check [OPTIONS]` for
// the check without questions, `--help` and `--version`.
namespace bantrisk {

// Exit status of a command line that could not be used (the reason is on standard error).
inline constexpr int exit_usage = 2;

int bantrisk_main(int argc, char **argv);

} // namespace bantrisk
