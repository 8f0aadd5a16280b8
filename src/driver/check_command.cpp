#include "driver/check_command.hpp"

#include <algorithm>
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
#include "driver/picture_file.hpp"
#include "driver/run_state.hpp"
#include "driver/summary_json.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
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

inline constexpr int summary_unit = 13;

// The end of every message about a spectra file that the list does not give.
constexpr std::string_view name_it = "; name the spectra file with --spectra-file";

// The console of a check: nothing is asked and the dialogue's console lines are not shown. Each
// line is looked at as it is written: warnings go to the error stream, the integration progress
// becomes one line updated in place, and the last line is kept as the reason of a fatal end.
class CheckConsole : public std::streambuf {
public:
  CheckConsole(std::ostream &err, bool quiet, bool progress)
      : err_(err), quiet_(quiet), progress_(progress && !quiet) {}
  ~CheckConsole() override { end_progress(); }
  CheckConsole(const CheckConsole &) = delete;
  CheckConsole &operator=(const CheckConsole &) = delete;

  // The last line that was not empty, without its first blank, and whether it was told on the
  // error stream already.
  std::string last_line() const { return last_; }
  bool told_last() const { return told_last_; }

protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof()))
      return traits_type::not_eof(ch);
    if (traits_type::to_char_type(ch) == '\n') {
      line_done();
    } else if (line_.size() < max_kept) {
      line_ += traits_type::to_char_type(ch);
    }
    return ch;
  }

private:
  // Console lines are short; a longer one is kept in part.
  static constexpr std::size_t max_kept = 4096;

  void line_done() {
    std::string line = std::string(trimmed(line_));
    line_.clear();
    if (!line.empty() && line.front() == ' ')
      line.erase(0, 1);
    if (line.empty())
      return;
    if (line.rfind("Integrating spectrum ", 0) == 0) {
      if (progress_) {
        err_ << '\r' << line << "\033[K" << std::flush;
        showing_ = true;
      }
      return;
    }
    end_progress();
    last_ = line;
    told_last_ = false;
    // Warnings and the errors that do not end the check are told as they come.
    const bool notice = line.rfind("** WARNING", 0) == 0 || line.rfind("** Error :", 0) == 0;
    if (!quiet_ && notice) {
      err_ << "bantrisk: " << line << '\n';
      told_last_ = true;
    }
  }

  void end_progress() {
    if (showing_)
      err_ << "\r\033[K" << std::flush;
    showing_ = false;
  }

  std::ostream &err_;
  bool quiet_;
  bool progress_;
  bool showing_ = false;
  std::string line_;
  std::string last_;
  bool told_last_ = false;
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
    if (o_.run_file)
      return *o_.run_file;
    run.instrument = o_.instrument;
    // --raw-dir was measured with the options; the variable is measured here.
    const std::string directory = raw_directory_of(o_, env_);
    if (directory.size() > static_cast<std::size_t>(max_raw_directory_length))
      throw Unanswerable{
          concat({"the ", raw_directory_variable(o_.instrument), " directory of ",
                  exact_int(static_cast<std::int64_t>(directory.size())),
                  " characters is too long: at most ", exact_int(max_raw_directory_length),
                  " fit in the raw file name; name the directory with --raw-dir"})};
    run.raw_directory = fixed_text(directory, name_length);
    run.raw_directory_length = static_cast<int>(directory.size());
    run.extension = o_.extension;
    run.run_number = *o_.run;
    return std::nullopt;
  }

  std::int32_t max_spectrum(Io &) override { return o_.max_spectrum; }

  std::optional<std::string> named_spectra_file() override { return o_.spectra_file; }
  std::optional<std::string> named_spectrum_list() override { return o_.spectrum_list; }

  void existing_input(Io &io, std::string &name, InputKind which, const RunState &run) override {
    const bool blank = trimmed(name).empty();
    int istat = 0;
    check_file(io, name, name, 2, 1, istat);
    if (istat == 1)
      return;
    const std::string full(trimmed(name));
    if (which == InputKind::spectrum_list)
      throw Unanswerable{concat({"spectrum file list not found: ", full,
                                 "; name it with --spectrum-list or the spectra file with "
                                 "--spectra-file"})};
    if (o_.spectra_file)
      throw Unanswerable{concat({"spectra file not found: ", full, "; check --spectra-file"})};
    const std::string_view list = trimmed(run.list_name);
    if (blank)
      throw Unanswerable{concat({"the line for ", exact_int(run.spectra), " spectra in ", list,
                                 " names no spectra file", name_it})};
    throw Unanswerable{
        concat({"spectra file not found: ", full, " (named in ", list, ")", name_it})};
  }

  void unlisted_spectra_file(Io &, RunState &run, bool read_failure) override {
    const std::string_view list = trimmed(run.list_name);
    if (read_failure)
      throw Unanswerable{concat({"cannot read the lines of ", list, name_it})};
    throw Unanswerable{
        concat({"no line for ", exact_int(run.spectra), " spectra in ", list, name_it})};
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

  bool save_integrals(Io &io, RunState &run) override {
    if (!o_.save_integrals)
      return false;
    if (io.is_input(*o_.save_integrals))
      throw Unanswerable{concat({"the integrals would replace ", full_name_of(*o_.save_integrals),
                                 ", an input file of this check; name another with "
                                 "--save-integrals"})};
    run.integrals_name = name_text(*o_.save_integrals);
    return true;
  }

  std::optional<MaskChoice> mask(Io &io) override {
    if (!o_.mask)
      return std::nullopt;
    // The dialogue asks another name for a mask that would replace an input of the check.
    if (io.is_input(*o_.mask))
      throw Unanswerable{concat({"the mask would replace ", full_name_of(*o_.mask),
                                 ", an input file of this check; name another with --mask"})};
    return MaskChoice{name_text(*o_.mask), o_.mask_option, o_.mask_format};
  }

  void finish(Io &) override { finished_ = true; }

private:
  const CheckOptions &o_;
  EnvLookup env_;
  bool finished_ = false;
};

template <typename Odd> std::vector<std::string> labels_of(const std::vector<Odd> &odd) {
  std::vector<std::string> labels;
  labels.reserve(odd.size());
  for (const Odd &o : odd)
    labels.push_back(o.label);
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
      << " Low modules:    " << counted(labels_of(f.low_modules)) << '\n'
      << " High modules:   " << counted(labels_of(f.high_modules)) << '\n'
      << " Low spectra:    " << f.low_spectra.size() << '\n'
      << " High spectra:   " << f.high_spectra.size() << '\n'
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

std::optional<std::string> written_name(const Io &io, int unit, std::string_view name) {
  if (!io.completed(unit))
    return std::nullopt;
  return full_name_of(name);
}

// The folders the check writes its files in, each once: the check holds them all while it runs.
std::vector<std::string> output_folders(const CheckOptions &o) {
  namespace fs = std::filesystem;
  std::vector<std::string> folders;
  const auto add = [&folders](const std::optional<std::string> &name) {
    if (!name || *name == "-")
      return;
    std::error_code ec;
    const auto status = fs::status(*name, ec);
    if (fs::exists(status) && !fs::is_regular_file(status))
      return; // a device or pipe is written in place
    const std::string folder = fs::path(full_name_of(*name)).parent_path().string();
    for (const std::string &held : folders)
      if (held == folder || fs::equivalent(held, folder, ec))
        return;
    folders.push_back(folder);
  };
  add(o.results);
  add(o.save_integrals);
  add(o.mask);
  add(o.summary);
  for (const std::string &picture : o.pictures)
    add(picture);
  return folders;
}

} // namespace

int run_check(const CheckOptions &options, const EnvLookup &env, std::ostream &out,
              std::ostream &err, bool progress) {
  if (const auto busy = claim_check_folders(output_folders(options))) {
    err << "bantrisk: another check is running in " << shown_text(*busy) << '\n';
    return exit_fatal;
  }
  const bool json_to_stdout = options.summary && *options.summary == "-";
  // Standard output holds only the JSON when the summary goes there.
  std::ostream &report = json_to_stdout ? err : out;

  CheckConsole sink(err, options.quiet, progress);
  std::ostream console_out(&sink);
  std::istringstream no_input;
  Console console(no_input, console_out);
  Io io(console, env);
  if (!options.quiet)
    io.mirror(results_unit,
              [&report](std::string_view line) { report << shown_text(line) << '\n'; });

  auto run = std::make_unique<RunState>();
  run->results_name = name_text(options.results);
  CheckAnswers answers(options, env);
  dataaccess::Session session;
  std::ostringstream stop_message;
  int status = run_pass(io, session, answers, *run, stop_message);

  if (!answers.finished()) {
    // The pass ended before its end: the reason is its message, or the last line it showed.
    const std::string message = stop_message.str();
    if (!message.empty()) {
      std::istringstream lines(message);
      for (std::string line; std::getline(lines, line);)
        err << shown_text(line) << '\n';
    } else if (!sink.told_last())
      err << "bantrisk: "
          << (sink.last_line().empty() ? std::string("the check ended early") : sink.last_line())
          << '\n';
    return exit_fatal;
  }

  const Findings findings = gather_findings(*run);
  WrittenFiles files;
  files.results = written_name(io, results_unit, options.results);
  if (options.save_integrals)
    files.integrals = written_name(io, integrals_unit, *options.save_integrals);
  std::optional<MaskRecord> mask;
  if (options.mask && (files.mask = written_name(io, mask_unit, *options.mask)))
    mask = MaskRecord{*files.mask, options.mask_format, options.mask_option,
                      masked_spectra(*run, options.mask_option).size()};

  // The outputs written from the findings, each after the files the pass wrote.
  if (options.summary) {
    if (json_to_stdout) {
      files.summary = "-";
      out << summary_json(findings, mask, files) << '\n';
    } else {
      files.summary = full_name_of(*options.summary);
      create_output(io, *options.summary, summary_unit);
      // Line by line: a file line is shown with its control characters escaped, and the
      // JSON's only control characters are the ends of its lines.
      std::istringstream json(summary_json(findings, mask, files));
      for (std::string line; std::getline(json, line);)
        io.write_line(summary_unit, line);
      if (!io.close(summary_unit))
        files.summary.reset();
    }
  }

  std::vector<std::string> pictures;
  if (!options.pictures.empty()) {
    picture::Description d = describe_picture(
        findings, *run,
        mask ? std::optional(static_cast<std::int32_t>(mask->masked)) : std::nullopt,
        options.mask_option, check_date());
    d.quiet = options.quiet;
    for (const std::string &file : options.pictures) {
      std::string error;
      if (write_picture(d, file, error))
        pictures.push_back(full_name_of(file));
      else
        io.note_output_failure(error);
    }
  }

  if (!options.quiet) {
    std::vector<std::string> written;
    for (const auto *name : {&files.results, &files.integrals, &files.mask, &files.summary})
      if (*name && **name != "-")
        written.push_back(**name);
    written.insert(written.end(), pictures.begin(), pictures.end());
    closing_summary(report, findings, mask, written);
  }

  for (const std::string &failure : io.output_failures())
    err << "bantrisk: " << shown_text(failure) << '\n';
  if (io.output_failed())
    status = exit_fatal;
  out.flush();
  if (!out) {
    err << "bantrisk: error writing standard output\n";
    status = exit_fatal;
  }
  return status == exit_normal ? exit_normal : exit_fatal;
}

} // namespace bantrisk
