#pragma once
// The JSON summary of a check.
#include <optional>
#include <string>
#include <vector>

#include "driver/answers.hpp"

namespace bantrisk {

struct Findings;

struct MaskRecord {
  std::string file; // full name
  MaskFormat format = MaskFormat::columns;
  int option = 1;
  std::size_t masked = 0;
};

// Full names of the files a check writes; nothing for those it does not write. The pictures
// in the order given.
struct WrittenFiles {
  std::optional<std::string> results, integrals, mask, summary;
  std::vector<std::string> pictures;
};

// The summary as JSON text (without a final line end). Reals are the single-precision values
// of the reports, written in the fewest digits that give them back.
std::string summary_json(const Findings &findings, const std::optional<MaskRecord> &mask,
                         const WrittenFiles &files);

} // namespace bantrisk
