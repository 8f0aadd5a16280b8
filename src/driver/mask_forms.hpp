#pragma once
// The three forms of a mask file, each written and read back by the same code, so that one
// place knows each form's grammar both ways (docs/file-formats.md describes them):
//   columns  every spectrum 1..n on a line of its own with its mask value, 0 or -3;
//   xml      the masked spectra as one list of numbers and ranges a-b in the ids element of a
//            detector-masking file;
//   msk      a comment line, then the masked spectra as numbers and ranges a-b.
#include <cstdint>
#include <functional>
#include <istream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "driver/answers.hpp"

namespace bantrisk {

// What a mask holds.
struct MaskContent {
  std::int32_t listed = 0;              // the columns form lists spectra 1..listed
  std::span<const std::int32_t> masked; // the masked spectra, ascending, within 1..listed
  std::string_view source;              // the checked file, named in the msk comment line
};

// Writes the mask's lines in `format`, each handed to `line` without its line end.
void write_mask_lines(MaskFormat format, const MaskContent &content,
                      const std::function<void(std::string_view)> &line);

// Ascending spectrum numbers as texts "a", and "a-b" for each run of consecutive numbers.
std::vector<std::string> spectrum_ranges(std::span<const std::int32_t> ascending);

// A mask file that does not follow its form: where (line and column, from 1) and what.
// what() is "line L, column C: <reason>".
class MaskFormError : public std::runtime_error {
public:
  MaskFormError(long line, long column, const std::string &reason);
  long line() const { return line_; }
  long column() const { return column_; }
  const std::string &reason() const { return reason_; }

private:
  long line_;
  long column_;
  std::string reason_;
};

// Reads a mask of `format` back: the masked spectra (for the columns form those marked -3),
// ascending, each once. Spectrum numbers lie within 1 to 20000. Blank lines are skipped in the
// columns and msk forms; input may use CR LF line ends.
//  - columns: a spectrum number and a mask value, 0 or -3, on each line, separated by blanks or
//    tabs; the spectra ascend, each once.
//  - xml: a detector-masking root holding group elements holding ids elements, with no other
//    element, attribute, text or document type; an ids element holds numbers and ranges a-b
//    (a <= b) separated by commas, blanks allowed around each item.
//  - msk: lines of numbers and ranges a-b separated by blanks or tabs; a line whose first
//    character is # is a comment.
// The xml and msk forms give every spectrum they name, in whatever order and however often.
// Throws MaskFormError on the first departure from the form, on a read error, and on a file of
// more than 64 MiB (no mask of 20000 spectra comes near it).
std::vector<std::int32_t> read_mask(MaskFormat format, std::istream &in);

} // namespace bantrisk
