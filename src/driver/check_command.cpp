#include "driver/check_command.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "driver/checks.hpp"
#include "driver/findings.hpp"
#include "driver/mask_forms.hpp"
#include "driver/output_plan.hpp"
#include "driver/picture_file.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/summary_json.hpp"
#include "lib/events.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/input_file.hpp"
#include "lib/program_stop.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::string_view mask_format_name(MaskFormat format) {
  switch (format) {
  case MaskFormat::xml:
    return "xml";
  case MaskFormat::msk:
    return "msk";
  case MaskFormat::columns:
    break;
  }
  return "columns";
}

std::optional<MaskFormat> mask_format_named(std::string_view name) {
  for (const MaskFormat f : {MaskFormat::columns, MaskFormat::xml, MaskFormat::msk})
    if (mask_format_name(f) == name)
      return f;
  return std::nullopt;
}

std::string raw_directory_of(const CheckOptions &o, const EnvLookup &env) {
  return o.raw_dir ? *o.raw_dir : env(raw_directory_variable(o.instrument)).value_or(std::string());
}

MaskFormat mask_format_of(std::string_view file) {
  if (file.ends_with(".xml"))
    return MaskFormat::xml;
  if (file.ends_with(".msk"))
    return MaskFormat::msk;
  return MaskFormat::columns;
}

namespace {

// The end of every message about a spectra file that the list does not give.
constexpr std::string_view name_it = "; name the spectra file with --spectra-file";

// A console that takes every line and shows none: a check shows its report through the results
// file's lines, and tells the rest through its events.
class NoConsole : public std::streambuf {
protected:
  int_type overflow(int_type ch) override { return traits_type::not_eof(ch); }
  std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

// How a check tells what happens while it runs, on standard error: warnings and fatal ends as
// one line each, prefixed "bantrisk: ", and the integration's progress as one line updated in
// place (when standard error is a terminal). Inputs found are held against the output plan.
class CheckEvents final : public Events {
public:
  CheckEvents(std::ostream &err, bool quiet, bool progress, const OutputPlan &plan)
      : err_(err), quiet_(quiet), progress_(progress && !quiet), plan_(plan) {}
  ~CheckEvents() override { end_progress(); }
  CheckEvents(const CheckEvents &) = delete;
  CheckEvents &operator=(const CheckEvents &) = delete;

  void progress(std::int32_t s, std::int32_t total) override {
    if (!progress_)
      return;
    err_ << "\rIntegrating spectrum " << exact_int(s) << " from a total " << exact_int(total)
         << "\033[K" << std::flush;
    showing_ = true;
  }
  void warning(std::string_view text) override {
    if (!quiet_)
      tell(text);
  }
  void input_found(const std::string &full_name) override { plan_.refuse_input(full_name); }
  void stop(const ProgramStop &stop) override {
    tell(stop.message().empty() ? std::string_view("the check ended early") : stop.message());
  }

  // One line of the check's own.
  void tell(std::string_view line) {
    end_progress();
    err_ << "bantrisk: " << shown_text(trimmed(line)) << '\n';
  }
  // The progress line is cleared before anything else is shown.
  void end_progress() {
    if (showing_)
      err_ << "\r\033[K" << std::flush;
    showing_ = false;
  }

private:
  std::ostream &err_;
  bool quiet_;
  bool progress_;
  const OutputPlan &plan_;
  bool showing_ = false;
};

// The check's answers: every choice from the options; where the dialogue would ask again to
// recover, the check ends with a message naming the option that supplies the answer.
class CheckAnswers final : public Answers {
public:
  CheckAnswers(const CheckOptions &o, EnvLookup env) : o_(o), env_(std::move(env)) {}

  bool finished() const { return finished_; }

  int source_option(Io &) override { return o_.integrals ? 2 : 1; }

  void integrals_name(Io &, RunState &run) override {
    run.integrals_name = name_text(*o_.integrals);
  }

  std::optional<std::string> raw_file(Io &, RunState &run) override {
    if (o_.run_file) {
      if (!file_exists(*o_.run_file))
        throw ProgramStop::report(
            concat({"run file not found: ", full_name_of(*o_.run_file), "; check --run-file"}));
      return *o_.run_file;
    }
    run.instrument = o_.instrument;
    // --raw-dir was measured with the options; the variable is measured here.
    const std::string directory = raw_directory_of(o_, env_);
    if (directory.size() > static_cast<std::size_t>(max_raw_directory_length))
      throw ProgramStop::report(
          concat({"the ", raw_directory_variable(o_.instrument), " directory of ",
                  exact_int(static_cast<std::int64_t>(directory.size())),
                  " characters is too long: at most ", exact_int(max_raw_directory_length),
                  " fit in the raw file name; name the directory with --raw-dir"}));
    run.raw_directory = fixed_text(directory, name_length);
    run.raw_directory_length = static_cast<int>(directory.size());
    run.extension = o_.extension;
    run.run_number = *o_.run;
    const std::string raw(trimmed(compose_raw_name(run.raw_directory, run.raw_directory_length,
                                                   run.instrument, run.run_number, run.extension)));
    if (!file_exists(raw))
      throw ProgramStop::report(missing_raw_file(full_name_of(raw)));
    return std::nullopt;
  }

  std::int32_t max_spectrum(Io &) override { return o_.max_spectrum; }

  std::optional<std::string> named_spectra_file() override { return o_.spectra_file; }
  std::optional<std::string> named_spectrum_list() override { return o_.spectrum_list; }

  void existing_input(Io &io, std::string &name, InputKind which, const RunState &run) override {
    const std::string typed(trimmed(name));
    const bool blank = typed.empty();
    int istat = 0;
    check_file(io, name, name, 2, 1, istat);
    if (istat == 1)
      return;
    const std::string full(trimmed(name));
    // A relative name from the list is looked for beside the list too, so that a check run from
    // another folder finds the spectra file that sits with its list.
    std::string beside;
    if (which == InputKind::spectra_file && !o_.spectra_file && !blank &&
        !std::filesystem::path(typed).is_absolute()) {
      beside = (std::filesystem::path(full_name_of(run.list_name)).parent_path() / typed)
                   .lexically_normal()
                   .string();
      if (beside != full) {
        std::string found = name_text(beside);
        check_file(io, found, found, 2, 1, istat);
        if (istat == 1) {
          name = found;
          return;
        }
      } else {
        beside.clear();
      }
    }
    if (which == InputKind::spectrum_list)
      throw ProgramStop::report(concat({"spectrum file list not found: ", full,
                                        "; name it with --spectrum-list or the spectra file with "
                                        "--spectra-file"}));
    if (o_.spectra_file)
      throw ProgramStop::report(
          concat({"spectra file not found: ", full, "; check --spectra-file"}));
    const std::string_view list = trimmed(run.list_name);
    if (blank)
      throw ProgramStop::report(concat({"the line for ", exact_int(run.spectra), " spectra in ",
                                        list, " names no spectra file", name_it}));
    if (!beside.empty())
      throw ProgramStop::report(concat({"spectra file not found: ", typed, " (named in ", list,
                                        ") is neither ", full, " nor ", beside, name_it}));
    throw ProgramStop::report(
        concat({"spectra file not found: ", full, " (named in ", list, ")", name_it}));
  }

  [[noreturn]] void spectra_count_mismatch(const RunState &run, std::int32_t largest) override {
    const std::string spectra = exact_int(run.spectra);
    const std::string file = full_name_of(run.spectra_name);
    const std::string where =
        o_.spectra_file
            ? std::string()
            : concat({" (named in ", trimmed(run.list_name), " for ", spectra, " spectra)"});
    throw ProgramStop::report(
        concat({"the spectra file ", file, where, " is for ", exact_int(largest),
                " spectra, but the run has ", spectra, "; name the spectra file for ", spectra,
                " spectra with --spectra-file"}));
  }

  void unlisted_spectra_file(Io &, RunState &run, bool read_failure) override {
    const std::string_view list = trimmed(run.list_name);
    if (read_failure)
      throw ProgramStop::report(concat({"cannot read the lines of ", list, name_it}));
    throw ProgramStop::report(
        concat({"no line for ", exact_int(run.spectra), " spectra in ", list, name_it}));
  }

  bool counts_per_spectrum(Io &) override { return o_.counts_per_spectrum; }

  void module_fractions(Io &, float &low, float &high) override {
    low = o_.low_fraction;
    high = o_.high_fraction;
  }

  void bank_limits(Io &, RunState &run) override {
    for (const BankLimits &l : o_.limits) {
      const auto b = static_cast<std::size_t>(std::clamp(l.bank, 1, bank_slots));
      run.low_limit[b] = l.low;
      run.high_limit[b] = l.high;
    }
  }

  bool save_integrals(Io &, RunState &run) override {
    // The output plan has held the file against every input found.
    if (!o_.save_integrals)
      return false;
    run.integrals_name = name_text(*o_.save_integrals);
    return true;
  }

  std::optional<MaskChoice> mask(Io &) override {
    if (!o_.mask)
      return std::nullopt;
    return MaskChoice{name_text(*o_.mask), o_.mask_option, o_.mask_format};
  }

  void finish(Io &) override { finished_ = true; }

private:
  // The line for a raw file that is not there: its full name, where its folder came from and
  // the option that names another.
  std::string missing_raw_file(const std::string &full) const {
    const std::string variable = raw_directory_variable(o_.instrument);
    std::string origin;
    if (o_.raw_dir)
      origin = concat({"its folder is --raw-dir ", *o_.raw_dir, "; name another with --raw-dir"});
    else if (const auto value = env_(variable); value && !value->empty())
      origin = concat(
          {"its folder is ", variable, "=", *value, "; name another with --raw-dir or ", variable});
    else
      origin = concat({variable, value ? " is empty" : " is unset",
                       ", so the current folder was looked in; name the folder of the raw files "
                       "with --raw-dir or ",
                       variable});
    return concat({"raw file not found: ", full, "; ", origin});
  }

  const CheckOptions &o_;
  EnvLookup env_;
  bool finished_ = false;
};

std::vector<std::string> labels_of(const std::vector<FoundModule> &found) {
  std::vector<std::string> labels;
  labels.reserve(found.size());
  for (const FoundModule &m : found)
    labels.push_back(m.label);
  return labels;
}

// "n" or "n: a b c" for a list of labels.
std::string counted(const std::vector<std::string> &labels) {
  const std::string count = exact_int(static_cast<std::int64_t>(labels.size()));
  return labels.empty() ? count : count + ": " + joined(labels, " ");
}

// The few closing lines after the report.
void closing_summary(std::ostream &out, const Findings &f, const std::optional<MaskRecord> &mask,
                     const std::vector<std::string> &written) {
  out << "\n Summary of the check of " << shown_text(f.source) << '\n'
      << " Dead spectra:   " << f.zero_count.size() << " of " << f.analysed << '\n'
      << " Dead modules:   " << counted(f.dead_modules) << '\n'
      << " Low modules:    " << counted(labels_of(f.modules_in(State::low))) << '\n'
      << " High modules:   " << counted(labels_of(f.modules_in(State::high))) << '\n'
      << " Low spectra:    " << f.spectra_in(State::low).size() << '\n'
      << " High spectra:   " << f.spectra_in(State::high).size() << '\n'
      << " Spectra masked: "
      << (mask ? exact_int(static_cast<std::int64_t>(mask->masked)) : "no mask") << '\n'
      << " Files written:  " << (written.empty() ? "none" : shown_text(joined(written, " ")))
      << '\n';
}

// The local date and time of the check, to the minute.
std::string check_date() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (::localtime_r(&now, &local) != nullptr)
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

// The destination numbers of the outputs the sections write.
int unit_of(std::string_view option) {
  if (option == "--results")
    return results_unit;
  if (option == "--save-integrals")
    return integrals_unit;
  if (option == "--mask")
    return mask_unit;
  return 0;
}

// Tells what putting the files in place did when it did not put them all.
void tell_incomplete(CheckEvents &events, const PlacedFiles &placed, const OutputPlan &plan) {
  const auto shown = [](const PlannedOutput &out) {
    return out.standard_output() ? std::string("standard output") : out.full_name();
  };
  const auto names = [&](const std::vector<const ReplacingFile *> &files) {
    std::vector<std::string> listed;
    for (const ReplacingFile *file : files)
      for (const PlannedOutput &out : plan.outputs())
        if (out.file.get() == file)
          listed.push_back(shown(out));
    return listed.empty() ? std::string("none") : joined(listed, " ");
  };
  std::string failed;
  for (const PlannedOutput &out : plan.outputs())
    if (out.file.get() == placed.failed)
      failed = concat({out.option, ": ", placed.finished ? "cannot put " : "error writing ",
                       shown(out), placed.finished ? " in place" : "", ": ",
                       std::strerror(placed.error != 0 ? placed.error : EIO)});
  if (!placed.finished) {
    events.tell(concat({failed, "; no file was replaced"}));
    return;
  }
  events.tell(failed);
  events.tell(concat({"put in place: ", names(placed.placed)}));
  events.tell(concat({"not put in place: ", names(placed.not_placed)}));
}

// Whether the check goes beyond the options it always had, so that its summary lists every
// masked spectrum with its reasons.
bool further_checks(const CheckOptions &o) {
  return o.median || o.significance > 0.0f || o.hard_mask || o.reference || !o.fail_on.empty() ||
         o.tof_range ||
         (o.mask_option != mask_dead && o.mask_option != (mask_dead | mask_low_high));
}

// The hard mask's spectra into the rules: read in the form its name gives.
void load_hard_mask(RunState &run, const std::string &file) {
  std::string reason;
  const auto in = open_input_file(file, reason);
  if (!in)
    throw ProgramStop::report(concat({"--hard-mask: cannot read ", file, ": ", reason}));
  try {
    run.rules.hard_mask_list = read_mask(mask_format_of(file), *in);
  } catch (const MaskFormError &e) {
    throw ProgramStop::report(concat({"--hard-mask: ", file, ": ", e.what()}));
  }
  run.rules.hard_masked.assign(static_cast<std::size_t>(max_spectra) + 1, 0);
  for (const std::int32_t s : run.rules.hard_mask_list)
    if (s >= 1 && s <= max_spectra)
      run.rules.hard_masked[static_cast<std::size_t>(s)] = 1;
}

} // namespace

int run_check(const CheckOptions &options, const EnvLookup &env, std::ostream &out,
              std::ostream &err, bool progress) {
  // Every output is settled before anything is read; a command line whose outputs would
  // replace each other or an input is a usage error.
  OutputPlan plan(options, env);
  if (const auto busy = claim_check_folders(plan.folders())) {
    err << "bantrisk: another check is running in " << shown_text(*busy) << '\n';
    return exit_fatal;
  }
  // Standard output holds only the output named - when there is one (the options allow one).
  const bool output_to_stdout =
      std::any_of(plan.outputs().begin(), plan.outputs().end(),
                  [](const PlannedOutput &p) { return p.standard_output(); });
  std::ostream &report = output_to_stdout ? err : out;
  CheckEvents events(err, options.quiet, progress, plan);
  try {
    plan.make_files(out);
  } catch (const ProgramStop &stop) {
    events.stop(stop);
    return exit_fatal;
  }

  NoConsole no_console;
  std::ostream console_out(&no_console);
  std::istringstream no_input;
  Console console(no_input, console_out);
  Io io(console, env);
  io.use_events(&events);
  // The files of the pass are put in place together with the others, once the check completed.
  io.commit(Io::Commit::together);
  for (PlannedOutput &planned : plan.outputs())
    if (const int unit = unit_of(planned.option); unit != 0)
      io.reserve(unit, std::move(planned.file));
  // The report lines as they come; into a file standard output goes to, once every input is
  // known (at the end of the pass), and not at all when that file is one of them.
  const bool hold_report = &report == &out && plan.standard_output_is_file();
  std::string held_report;
  if (!options.quiet)
    io.mirror(results_unit, [&](std::string_view line) {
      events.end_progress();
      if (hold_report)
        held_report += shown_text(line) + '\n';
      else
        report << shown_text(line) << '\n';
    });

  auto run = std::make_unique<RunState>();
  run->results_name = name_text(options.results);
  CheckAnswers answers(options, env);
  dataaccess::Session session;
  run->rules.statistic = options.median ? Statistic::median : Statistic::mean;
  run->rules.significance = options.significance;
  run->rules.variation = options.variation;
  run->rules.tof_range = options.tof_range;
  try {
    if (options.hard_mask)
      load_hard_mask(*run, *options.hard_mask);
    if (options.reference)
      load_reference(io, *run, session, *options.reference);
  } catch (const ProgramStop &stop) {
    events.stop(stop);
    io.discard_all();
    return exit_fatal;
  }
  const int status = run_pass(io, session, answers, *run);
  if (!plan.standard_output_refused())
    report << held_report;
  if (status != exit_normal || !answers.finished()) {
    // Nothing is replaced: every earlier output stays as it was. An end of the pass has been
    // told; a file that could not be written is told here.
    if (answers.finished())
      for (const std::string &failure : io.output_failures())
        events.tell(concat({failure, "; no file was replaced"}));
    io.discard_all();
    return exit_fatal;
  }

  const Findings findings = gather_findings(*run);
  WrittenFiles files;
  std::optional<MaskRecord> mask;
  for (PlannedOutput &planned : plan.outputs()) {
    if (const int unit = unit_of(planned.option); unit != 0)
      planned.file = io.take_finished(unit);
    if (!planned.file) {
      events.tell(concat(
          {planned.option, ": ", planned.full_name(), " was not written; no file was replaced"}));
      return exit_fatal;
    }
    const std::string name = planned.full_name();
    if (planned.option == "--results")
      files.results = name;
    else if (planned.option == "--save-integrals")
      files.integrals = name;
    else if (planned.option == "--mask")
      files.mask = name;
    else if (planned.option == "--summary")
      files.summary = name;
    else
      files.pictures.push_back(name);
  }
  if (files.mask) {
    mask = MaskRecord{*files.mask, options.mask_format, options.mask_option, 0, std::nullopt};
    const std::vector<unsigned> reasons = mask_reasons(*run, options.mask_option);
    if (further_checks(options))
      mask->reasons.emplace();
    for (std::size_t s = 1; s < reasons.size(); ++s) {
      if (reasons[s] == 0)
        continue;
      mask->masked += 1;
      if (mask->reasons)
        mask->reasons->emplace_back(static_cast<std::int32_t>(s), mask_reason_names(reasons[s]));
    }
  }
  std::optional<FailVerdict> verdict;
  if (!options.fail_on.empty())
    verdict = fail_verdict(findings, options.fail_on);

  // The outputs drawn from the findings, into their files beside the others.
  std::vector<ReplacingFile *> all;
  try {
    std::optional<picture::Description> picture;
    for (PlannedOutput &planned : plan.outputs()) {
      if (planned.option == "--picture") {
        if (!picture)
          picture = describe_picture(findings, *run,
                                     mask ? std::optional(static_cast<std::int32_t>(mask->masked))
                                          : std::nullopt,
                                     options.mask_option, check_date());
        picture->quiet = options.quiet;
        planned.file->write(picture_bytes(*picture, planned.name));
      } else if (planned.option == "--summary") {
        planned.file->write(summary_json(findings, mask, files, verdict) + "\n");
      }
      all.push_back(planned.file.get());
    }
  } catch (const ProgramStop &stop) {
    events.stop(stop);
    return exit_fatal;
  }

  // Standard output is given its text last, once every file is finished: it cannot be taken
  // back when a file then fails.
  std::stable_partition(all.begin(), all.end(),
                        [](const ReplacingFile *file) { return !file->on_stream(); });
  const PlacedFiles placed = put_in_place_together(all);
  if (!placed.complete()) {
    tell_incomplete(events, placed, plan);
    return exit_fatal;
  }

  if (!options.quiet) {
    // The files in the order of the summary's "files": results, integrals, mask, summary,
    // pictures.
    std::vector<std::string> written;
    for (const auto *name : {&files.results, &files.integrals, &files.mask, &files.summary})
      if (*name && **name != "-")
        written.push_back(**name);
    written.insert(written.end(), files.pictures.begin(), files.pictures.end());
    closing_summary(report, findings, mask, written);
  }
  out.flush();
  if (!out) {
    err << "bantrisk: error writing standard output\n";
    return exit_fatal;
  }
  return verdict && verdict->failed ? exit_findings : exit_normal;
}

} // namespace bantrisk
