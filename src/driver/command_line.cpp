#include "driver/command_line.hpp"

#include <iostream>
#include <unistd.h>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "driver/check_command.hpp"
#include "driver/options.hpp"
#include "driver/version.hpp"
#include "lib/console.hpp"
#include "lib/io.hpp"
#include "lib/program_stop.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

// Every command line that cannot be used ends here: its one line, the hint, status 2.
int usage_error(const std::string &what) {
  std::cerr << "bantrisk: " << shown_text(what) << "\nRun 'bantrisk --help' for usage.\n";
  return exit_usage;
}

// The usage or the version on standard output: 0, or 1 with the reason on standard error when
// it could not be written (a full disk, a closed pipe).
int shown_on_stdout(const std::string &text) {
  std::cout << text;
  if (std::cout.flush())
    return 0;
  std::cerr << "bantrisk: error writing standard output\n";
  return exit_fatal;
}

} // namespace

int bantrisk_main(int argc, char **argv) {
  std::ios::sync_with_stdio(false);
  if (argc <= 1) {
    // No arguments: the interactive dialogue, exactly as it always was.
    // Console lines are written in blocks unless a person watches them at a terminal; every
    // question flushes them.
    Console console(std::cin, std::cout, ::isatty(STDOUT_FILENO) != 0);
    if (!claim_check_folder(console))
      return exit_fatal;
    Io io(console);
    dataaccess::Session session;
    return bantrisk_nget(io, session, std::cerr);
  }

  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    const ParsedCommandLine parsed = parse_command_line(args);
    if (parsed.request == Request::help)
      return shown_on_stdout(help_text());
    if (parsed.request == Request::version)
      return shown_on_stdout("bantrisk " + std::string(program_version) + "\n");
    return run_check(parsed.options, process_env, std::cout, std::cerr,
                     ::isatty(STDERR_FILENO) == 1);
  } catch (const ProgramStop &stop) {
    // A command line refused (a UsageError, from the options or from the outputs they name), or
    // any other end not told yet.
    if (stop.kind() == ProgramStop::Kind::usage)
      return usage_error(stop.message());
    std::cerr << "bantrisk: " << shown_text(stop.message()) << '\n';
    return stop.status();
  }
}

} // namespace bantrisk
