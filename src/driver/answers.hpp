#pragma once
// Where the pass takes its choices. The interactive dialogue asks them on the console;
// `bantrisk check` takes them from its command-line options. The sections never ask the console
// themselves: every question of the pass is one call here, so both ways of running share the
// same sections. A choice that cannot be made without asking ends the pass with
// ProgramStop::report, whose line names the file concerned and the option that gives the answer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace bantrisk {

class Io;
struct RunState;

// Input files that must exist before they are read, and that the dialogue lets the user name
// again when they do not.
enum class InputKind { spectrum_list, spectra_file };

enum class MaskFormat { columns, xml, msk };

// The spectra a mask leaves out: a set of these reasons. The dialogue's option 1 is mask_dead,
// its option 2 mask_dead | mask_low_high.
inline constexpr int mask_dead = 1;     // spectra with no counts
inline constexpr int mask_low_high = 2; // spectra found low or high
inline constexpr int mask_modules = 4;  // every spectrum of a module found dead, low or high
inline constexpr int mask_varying = 8;  // spectra varying against the reference, or newly dead
// Each reason with its word of --mask-spectra, in the order the words are shown.
inline constexpr std::pair<int, std::string_view> mask_reason_words[] = {
    {mask_dead, "dead"}, {mask_low_high, "low-high"}, {mask_modules, "modules"},
    {mask_varying, "varying"}};

struct MaskChoice {
  std::string name;
  int option = mask_dead; // a set of the mask_ reasons
  MaskFormat format = MaskFormat::columns;
};

class Answers {
public:
  virtual ~Answers() = default;

  // The source: 1 a run file, 2 an integrals file.
  virtual int source_option(Io &io) = 0;
  // Option 2: the integrals file's name into run.integrals_name.
  virtual void integrals_name(Io &io, RunState &run) = 0;
  // Option 1: either the run file's name, or nothing with run.instrument, run.raw_directory,
  // run.raw_directory_length, run.extension and run.run_number set for composing it.
  virtual std::optional<std::string> raw_file(Io &io, RunState &run) = 0;
  // Option 1: the highest spectrum to analyse, 0 for all.
  virtual std::int32_t max_spectrum(Io &io) = 0;
  // The spectra file named directly (no spectrum file list is read), or nothing; and the list's
  // name in place of the one found through Z_R, or nothing.
  virtual std::optional<std::string> named_spectra_file() = 0;
  virtual std::optional<std::string> named_spectrum_list() = 0;
  // `name` must name an existing file on return; `run` tells where the name came from.
  virtual void existing_input(Io &io, std::string &name, InputKind which, const RunState &run) = 0;
  // No line of the list gave the spectra file (or the list could not be read): its name into
  // run.spectra_name.
  virtual void unlisted_spectra_file(Io &io, RunState &run, bool read_failure) = 0;
  // The spectra file's largest spectrum number (`largest`) is not the run's number of spectra:
  // ends the pass with a line that says so.
  [[noreturn]] virtual void spectra_count_mismatch(const RunState &run, std::int32_t largest) = 0;
  // Whether the module and bank averages are reported.
  virtual bool counts_per_spectrum(Io &io) = 0;
  // The module fractions, starting from the built-in ones.
  virtual void module_fractions(Io &io, float &low, float &high) = 0;
  // The spectrum limits of the banks in run.low_limit and run.high_limit.
  virtual void bank_limits(Io &io, RunState &run) = 0;
  // Whether the integrals are saved; the file's name into run.integrals_name.
  virtual bool save_integrals(Io &io, RunState &run) = 0;
  // The mask to write, or nothing.
  virtual std::optional<MaskChoice> mask(Io &io) = 0;
  // The end of a completed pass.
  virtual void finish(Io &io) = 0;
};

// The interactive dialogue: every choice asked on the console of the Io it is given.
Answers &dialogue();

} // namespace bantrisk
