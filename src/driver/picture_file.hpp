#pragma once
// The picture of a check: its description built from the check's findings and the detector
// map, and the picture files written from it.
#include <cstdint>
#include <optional>
#include <string>

#include "picture/picture.hpp"

namespace bantrisk {

struct Findings;
struct RunState;

// The picture of a checked run: module status, counts and limits from `findings`, the cells
// from the run's detector map and integrals. `masked` is the number of spectra the check's mask
// leaves out, if one was written (`mask_option` 2: dead, low and high spectra); `date` is shown
// as the date of the check.
picture::Description describe_picture(const Findings &findings, const RunState &run,
                                      std::optional<std::int32_t> masked, int mask_option,
                                      const std::string &date);

// Writes the picture into `file` in the format its name asks for, replacing an earlier file
// only once the new one is complete. False, with the error line in `error` ("cannot create
// <full name>: <reason>" or "error writing <full name>: ..."), when it could not.
bool write_picture(const picture::Description &d, const std::string &file, std::string &error);

} // namespace bantrisk
