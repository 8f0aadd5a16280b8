#include "driver/output_plan.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "driver/check_command.hpp"
#include "lib/files.hpp"
#include "lib/program_stop.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

struct NamedInput {
  std::string option;
  std::string name;
  OutputTarget target; // where the name leads, to compare it as an output would be
};

// The file or pipe standard output writes to, when it is one of those: a device (a terminal)
// takes any number of writers, and nothing can be replaced through it.
std::optional<FileIdentity> standard_output_file() {
  struct stat out {};
  if (::fstat(STDOUT_FILENO, &out) != 0 ||
      !(S_ISREG(out.st_mode) || S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode)))
    return std::nullopt;
  return FileIdentity{out.st_dev, out.st_ino};
}

bool regular_standard_output() {
  struct stat out {};
  return ::fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode);
}

// What each output is, as the messages name it.
std::string_view what_is(std::string_view option) {
  if (option == "--results")
    return "the results";
  if (option == "--save-integrals")
    return "the integrals";
  if (option == "--mask")
    return "the mask";
  if (option == "--summary")
    return "the summary";
  return "the picture";
}

} // namespace

std::string PlannedOutput::full_name() const {
  return standard_output() ? name : full_name_of(name);
}

OutputPlan::OutputPlan(const CheckOptions &o, const EnvLookup &env) {
  const auto add = [this](const char *option, const std::optional<std::string> &name) {
    if (!name)
      return;
    PlannedOutput out;
    out.option = option;
    out.name = *name;
    if (!out.standard_output())
      out.target = resolve_output(*name);
    outputs_.push_back(std::move(out));
  };
  add("--results", o.results);
  add("--save-integrals", o.save_integrals);
  add("--mask", o.mask);
  for (const std::string &picture : o.pictures)
    add("--picture", picture);
  add("--summary", o.summary);

  // The raw file the run number names.
  std::optional<std::string> raw_name;
  if (o.run) {
    const std::string dir = raw_directory_of(o, env);
    if (dir.size() <= static_cast<std::size_t>(max_raw_directory_length))
      raw_name = std::string(trimmed(
          compose_raw_name(dir, static_cast<int>(dir.size()), o.instrument, *o.run, o.extension)));
  }
  std::vector<NamedInput> inputs;
  const auto input = [&inputs](const char *option, const std::optional<std::string> &name) {
    if (name)
      inputs.push_back({option, *name, resolve_output(*name)});
  };
  input("--run-file", o.run_file);
  input("--run", raw_name);
  input("--integrals", o.integrals);
  input("--spectrum-list", o.spectrum_list);
  input("--spectra-file", o.spectra_file);
  input("--hard-mask", o.hard_mask);
  input("--reference", o.reference);

  // Standard output holds the report or the JSON summary: an output that is the file or pipe
  // standard output goes to (/dev/stdout) would replace it or be mixed into it, and standard
  // output into an input would write into that input.
  stdout_used_ = !o.quiet || std::any_of(outputs_.begin(), outputs_.end(),
                                         [](const PlannedOutput &p) { return p.standard_output(); });
  const std::optional<FileIdentity> stdout_file =
      stdout_used_ ? standard_output_file() : std::nullopt;
  stdout_file_ = stdout_file && regular_standard_output();
  if (stdout_file_)
    for (const NamedInput &in : inputs)
      if (in.target.exists && in.target.identity == *stdout_file)
        throw UsageError{"standard output is the input file of " + in.option + ": " + in.name};

  for (std::size_t i = 0; i < outputs_.size(); ++i) {
    const PlannedOutput &out = outputs_[i];
    if (out.standard_output())
      continue;
    if (stdout_file && out.target.exists && out.target.identity == *stdout_file)
      throw UsageError{out.option + " names standard output: " + out.name};
    // Devices and pipes may stand for more than one output, and are never an input.
    if (out.target.in_place)
      continue;
    for (std::size_t j = 0; j < i; ++j)
      if (!outputs_[j].standard_output() && same_target(out.target, outputs_[j].target))
        throw UsageError{out.option + " names the same file as " + outputs_[j].option + ": " +
                         out.name};
    for (const NamedInput &in : inputs) {
      // The integrals saved may replace the integrals file they were read from, which is read
      // whole first.
      const bool allowed = out.option == "--save-integrals" && in.option == "--integrals";
      if (!allowed && same_target(out.target, in.target))
        throw UsageError{out.option + " would replace the input file of " + in.option + ": " +
                         out.name};
    }
  }
}

std::vector<std::string> OutputPlan::folders() const {
  namespace fs = std::filesystem;
  std::vector<std::string> folders;
  for (const PlannedOutput &out : outputs_) {
    if (out.standard_output() || out.target.in_place || out.target.key.empty())
      continue;
    const std::string folder = fs::path(out.target.key).parent_path().string();
    bool held = false;
    for (const std::string &f : folders)
      held = held || f == folder;
    if (!held)
      folders.push_back(folder);
  }
  return folders;
}

void OutputPlan::make_files(std::ostream &out) {
  for (PlannedOutput &planned : outputs_) {
    if (planned.standard_output()) {
      planned.file = ReplacingFile::on_stream(out, planned.name);
      continue;
    }
    int error = 0;
    planned.file = ReplacingFile::create(planned.name, error);
    if (!planned.file) {
      for (PlannedOutput &made : outputs_)
        made.file.reset();
      throw ProgramStop::report(concat(
          {planned.option, ": cannot create ", planned.full_name(), ": ", std::strerror(error)}));
    }
  }
}

void OutputPlan::refuse_input(const std::string &full_name) const {
  FileIdentity opened;
  if (!identity_of(full_name, opened))
    return;
  const OutputTarget input = resolve_output(full_name);
  for (const PlannedOutput &out : outputs_) {
    if (out.standard_output() || out.target.in_place)
      continue;
    if (same_target(out.target, opened) || same_target(out.target, input))
      throw ProgramStop::report(
          concat({what_is(out.option), " would replace ", full_name,
                  ", an input file of this check; name another with ", out.option}));
  }
  if (stdout_file_ && standard_output_file() == opened) {
    stdout_refused_ = true;
    throw ProgramStop::report(concat({"standard output is ", full_name,
                                      ", an input file of this check; send it to another file"}));
  }
}

PlannedOutput *OutputPlan::find(std::string_view option) {
  for (PlannedOutput &out : outputs_)
    if (out.option == option)
      return &out;
  return nullptr;
}

} // namespace bantrisk
