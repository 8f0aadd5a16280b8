#pragma once
// The program's command line: no arguments for the interactive dialogue, `check [OPTIONS]` for
// the check without questions, `--help` and `--version`.
namespace bantrisk {

int bantrisk_main(int argc, char **argv);

} // namespace bantrisk
