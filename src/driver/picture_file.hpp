#pragma once
// The picture of a check: its description built from the check's findings and the detector
// map, and the bytes of the picture files drawn from it.
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

// The bytes of the picture file `file`, in the format its name asks for. A picture that cannot
// be drawn ends the check: ProgramStop::report("cannot draw <full name>: <reason>").
std::string picture_bytes(const picture::Description &d, const std::string &file);

} // namespace bantrisk
