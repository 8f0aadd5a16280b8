#pragma once
// Where a run's raw file is: the instrument name, the raw-data directory and the composition of
// the raw file name from directory, instrument, run number and extension.
#include <cstdint>
#include <string>
#include <string_view>

namespace bantrisk {

class Console;
class Io;

// The longest directory that still leaves room in an 80-character raw file name for the
// instrument name, five digits of run number, the point and the extension.
inline constexpr int max_raw_directory_length = 68;
// Run numbers are written as five digits.
inline constexpr std::int32_t max_run_number = 99999;

// The environment variable naming an instrument's raw-data directory: "KRV_DATA" for "KRV".
std::string raw_directory_variable(std::string_view instrument);

// Asks the 3-letter instrument name into `name` (3 characters). idef 0: no default; 1: the
// current name is offered; 3: "KRV" is offered. Any other idef is reported, set to 0 in the
// caller's variable, and no default is offered.
void get_instname3(Console &con, std::string &name, int &idef);

// Finds the raw-data directory: the variable <instrument>_DATA as the default, or a typed
// directory. On return `directory` holds it blank-padded to 80 characters and `length` its
// number of characters. A directory too long for the raw file name is refused and asked again.
void getrawdir(Io &io, std::string_view instrument, std::string &directory, int &length);

// The raw file name, blank-padded to 80 characters: the first `length` characters of the
// directory, the instrument, the run number in five digits with leading zeros, ".", the
// extension. The caller keeps length within 0..68 and the run number within 0..99999.
std::string compose_raw_name(std::string_view directory, int length, std::string_view instrument,
                             std::int32_t run_number, std::string_view extension);

} // namespace bantrisk
