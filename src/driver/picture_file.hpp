#pragma once
// The picture of a check: its description built from the run-wide tables after the checks,
// and the picture files written from it.
#include <string>

#include "picture/picture.hpp"

namespace bantrisk {

struct RunState;

// The picture of the checked run: `source` names the run file or integrals file checked and
// `date` is shown as the date of the check.
picture::Description describe_picture(const RunState &run, const std::string &source,
                                      const std::string &date);

// Writes the picture into `file` in the format its name asks for, replacing an earlier file
// only once the new one is complete. False, with the reason in `error`, when it could not.
bool write_picture(const picture::Description &d, const std::string &file, std::string &error);

} // namespace bantrisk
