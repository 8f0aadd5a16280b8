#pragma once
// Writing run files: the NeXus layout the synthetic-run generator makes. Kept beside the reader
// so that nothing outside this folder knows HDF5. Not part of the bantrisk program.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bantrisk::dataaccess {

struct RunFileLayout {
  std::int32_t spectra = 0;
  std::int32_t channels = 0;
  std::vector<float> boundaries; // channels + 1 time-of-flight boundaries
  int chunk_spectra = 0;         // spectra per chunk; 0: chunks of about 256 KiB
  int gzip = 0;                  // deflate level 1 to 9; 0: not compressed
};

// Fills `block` with the counts of `rows` consecutive spectra from spectrum `first` + 1, row by
// row, `channels` values to a row.
using CountsFill = std::function<void(std::int32_t first, std::int32_t rows, std::int32_t *block)>;

// Writes /raw_data_1 (NXentry, the root's default) holding /raw_data_1/detector_1 (NXdata, the
// entry's default) with int32 `counts` [spectra, channels] (signal; chunked, written in slabs of
// about 1 MiB), float32 `time_of_flight` boundaries and int32 `spectrum_index` (the axes).
// The file is written to a temporary file beside `path` and put in place (synced, renamed) once
// every object and the file have closed without error; on a failure nothing is left. Throws
// RunFileError (a std::runtime_error) naming the file, what could not be done and HDF5's cause.
void write_run_file(const std::string &path, const RunFileLayout &layout, const CountsFill &fill);

} // namespace bantrisk::dataaccess
