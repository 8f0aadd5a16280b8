#pragma once
// The JSON summary of a check.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/answers.hpp"
#include "driver/findings.hpp"

namespace bantrisk {

struct MaskRecord {
  std::string file; // full name
  MaskFormat format = MaskFormat::columns;
  int option = mask_dead; // a set of the mask_ reasons
  std::size_t masked = 0;
  // Every masked spectrum with the names of its reasons, when the summary lists them.
  std::optional<std::vector<std::pair<std::int32_t, std::vector<std::string_view>>>> reasons;
};

// The name of a mask's set of reasons as the summary and --mask-spectra give it: "dead",
// "dead-low-high", or a comma list such as "dead,modules".
std::string mask_spectra_name(int option);

// Full names of the files a check writes; nothing for those it does not write. The pictures
// in the order given.
struct WrittenFiles {
  std::optional<std::string> results, integrals, mask, summary;
  std::vector<std::string> pictures;
};

// The summary as JSON text (without a final line end). Reals are the single-precision values
// of the reports, written in the fewest digits that give them back.
std::string summary_json(const Findings &findings, const std::optional<MaskRecord> &mask,
                         const WrittenFiles &files,
                         const std::optional<FailVerdict> &verdict = std::nullopt);

} // namespace bantrisk
