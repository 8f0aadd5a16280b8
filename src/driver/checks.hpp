#pragma once
// Pieces of the detector checks that the tests and the benchmark reach directly.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run_state.hpp"

namespace bantrisk {

class Io;
struct ModuleTables;
struct RunState;

// The width of a dead-spectra line text. A line that fits is padded to this width; a line of
// five-digit spectrum numbers (or wide gaps) that does not fit is kept whole.
inline constexpr std::size_t dead_line_width = 79;

// The line texts for one module's dead spectra, eight entries a line: every entry but the very
// last is " s (g)" with g the gap to the next spectrum of the list, the last is " s". Texts
// that fit are blank-padded to 79 characters; longer ones are returned whole.
std::vector<std::string> dead_spectra_texts(std::span<const std::int32_t> dead);

// Writes the dead spectra of module `index`: a full line goes to the console without its 79th
// character and to destination `iunit` whole; the last line goes whole to both. A line longer
// than 79 characters goes whole to both. Destination 0 is the console.
void reportdeadspecinmod(Io &io, const ModuleTables &modules, int index, int iunit);

// `num` / `den` rounded to single precision. A zero divisor (possible only when negative
// integrals cancel an average out) gives an infinite ratio of the numerator's sign, or NaN for
// 0/0, without dividing: such a ratio shows as asterisks and a NaN is neither low nor high.
float ratio_of(double num, double den);

// The integral of spectrum `s`, or 0 for a spectrum number outside the integrals table.
std::int32_t integral_of(const RunState &run, std::int32_t s);

// The ratio of module `index`'s average to its bank's reference (the average or the median),
// as the low/high section reports it; nothing for a module whose total is not above 0 (the
// section does not judge those).
std::optional<float> module_ratio(const RunState &run, int index);

// The bank limit lines of the low/high section, on destination `unit` (0 is the console).
void limit_lines(Io &io, const RunState &run, int unit);

// Why a spectrum is masked: a set of these.
inline constexpr unsigned reason_dead = 1, reason_low = 2, reason_high = 4, reason_module_dead = 8,
                          reason_module_low = 16, reason_module_high = 32, reason_varying = 64,
                          reason_newly_dead = 128, reason_hard_mask = 256;
// By spectrum 1..mask_listed (element 0 unused), the reasons the mask of `option` (a set of the
// mask_ reasons of answers.hpp) leaves it out for: its integral is 0 (mask_dead), it was found
// low or high (mask_low_high), its module was found dead, low or high (mask_modules), it varies
// against the reference or is newly dead (mask_varying); a hard-masked spectrum always.
std::vector<unsigned> mask_reasons(const RunState &run, int option);
// The names of a set of reasons, in the order of the bits.
std::vector<std::string_view> mask_reason_names(unsigned reasons);
// The masked spectra among 1..analysed, ascending.
std::vector<std::int32_t> masked_spectra(const RunState &run, int option);
// The spectra a mask covers: 1 to the number analysed, within the tables.
std::int32_t mask_listed(const RunState &run);

} // namespace bantrisk
