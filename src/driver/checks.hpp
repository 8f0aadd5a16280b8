#pragma once
// Pieces of the detector checks that the tests and the benchmark reach directly.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

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

// The ratio of module `index`'s average to its bank's average, as the low/high section reports
// it; nothing for a module whose total is not above 0 (the section does not judge those).
std::optional<float> module_ratio(const RunState &run, int index);

// The bank limit lines of the low/high section, on destination `unit` (0 is the console).
void limit_lines(Io &io, const RunState &run, int unit);

// Whether spectrum `s` is masked: its integral is 0, or (option 2) it was found low or high.
bool is_masked(const RunState &run, std::int32_t s, int option);
// The masked spectra among 1..analysed, ascending.
std::vector<std::int32_t> masked_spectra(const RunState &run, int option);
// The spectra a mask covers: 1 to the number analysed, within the tables.
std::int32_t mask_listed(const RunState &run);

} // namespace bantrisk
