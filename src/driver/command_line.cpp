#include "driver/command_line.hpp"

#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "driver/check_command.hpp"
#include "driver/options.hpp"
#include "driver/version.hpp"
#include "lib/console.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

namespace fs = std::filesystem;

bool same_file(const std::string &a, const std::string &b) {
  if (full_name_of(a) == full_name_of(b))
    return true;
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

// Devices and pipes (/dev/null) may stand for more than one output.
bool is_device(const std::string &name) {
  std::error_code ec;
  const auto status = fs::status(name, ec);
  return !ec && fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status);
}

// True when `name` opens the regular file or the pipe that standard output writes to.
bool is_standard_output(const std::string &name) {
  struct stat out {};
  struct stat named {};
  if (::fstat(STDOUT_FILENO, &out) != 0 ||
      !(S_ISREG(out.st_mode) || S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode)))
    return false;
  return ::stat(name.c_str(), &named) == 0 && named.st_dev == out.st_dev &&
         named.st_ino == out.st_ino;
}

// No output may replace an input or another output of the same check. Saving the integrals over
// the integrals file they were read from is allowed: the file is read whole first.
void refuse_aliases(const CheckOptions &o, const std::optional<std::string> &raw_name) {
  std::vector<std::pair<std::string, std::string>> inputs, outputs;
  const auto add = [](auto &list, const char *option, const std::optional<std::string> &name) {
    if (name)
      list.emplace_back(option, *name);
  };
  add(inputs, "--run-file", o.run_file);
  add(inputs, "--run", raw_name);
  add(inputs, "--integrals", o.integrals);
  add(inputs, "--spectrum-list", o.spectrum_list);
  add(inputs, "--spectra-file", o.spectra_file);
  add(outputs, "--results", o.results);
  add(outputs, "--save-integrals", o.save_integrals);
  add(outputs, "--mask", o.mask);
  if (o.summary && *o.summary != "-")
    add(outputs, "--summary", o.summary);
  for (const std::string &picture : o.pictures)
    add(outputs, "--picture", picture);
  // Standard output holds the console report or the JSON summary: an output file that is the
  // file or pipe standard output goes to (/dev/stdout) would replace it or be mixed into it.
  const bool stdout_used = !o.quiet || (o.summary && *o.summary == "-");
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto &[option, name] = outputs[i];
    if (stdout_used && is_standard_output(name))
      throw UsageError{option + " names standard output: " + name};
    if (is_device(name))
      continue;
    for (std::size_t j = 0; j < i; ++j)
      if (same_file(name, outputs[j].second))
        throw UsageError{option + " names the same file as " + outputs[j].first + ": " + name};
    for (const auto &[in_option, in_name] : inputs) {
      const bool allowed = option == "--save-integrals" && in_option == "--integrals";
      if (!allowed && same_file(name, in_name))
        throw UsageError{option + " would replace the input file of " + in_option + ": " + name};
    }
  }
}

// The raw file a run number names, so that no output can replace it.
std::optional<std::string> raw_file_of(const CheckOptions &o, const EnvLookup &env) {
  if (!o.run)
    return std::nullopt;
  const std::string dir = raw_directory_of(o, env);
  if (dir.size() > static_cast<std::size_t>(max_raw_directory_length))
    return std::nullopt;
  return std::string(trimmed(
      compose_raw_name(dir, static_cast<int>(dir.size()), o.instrument, *o.run, o.extension)));
}

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
  CheckOptions options;
  try {
    ParsedCommandLine parsed = parse_command_line(args);
    if (parsed.request == Request::help)
      return shown_on_stdout(help_text());
    if (parsed.request == Request::version)
      return shown_on_stdout("bantrisk " + std::string(program_version) + "\n");
    options = std::move(parsed.options);
    refuse_aliases(options, raw_file_of(options, process_env));
  } catch (const UsageError &e) {
    return usage_error(e.what);
  }
  return run_check(options, process_env, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
}

} // namespace bantrisk
