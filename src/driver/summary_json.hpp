#pragma once
// The JSON summary of a check.
#include <optional>
#include <string>

#include "driver/answers.hpp"

namespace bantrisk {

struct Findings;

struct MaskRecord {
  std::string file; // full name
  MaskFormat format = MaskFormat::columns;
  int option = 1;
  std::size_t masked = 0;
};

// Full names of the files a check wrote completely; nothing for the others.
struct WrittenFiles {
  std::optional<std::string> results, integrals, mask, summary;
};

// The summary as JSON text (without a final line end). Reals are the single-precision values
// of the reports, written in the fewest digits that give them back.
std::string summary_json(const Findings &findings, const std::optional<MaskRecord> &mask,
                         const WrittenFiles &files);

} // namespace bantrisk
