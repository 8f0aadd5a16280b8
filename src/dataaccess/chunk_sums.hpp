#pragma once
// The integration of a whole run in the order its counts are stored: the chunks (or pieces of
// contiguous counts) are read as they lie in the file, inflated on a pool of threads, and each
// thread adds the integration terms of its chunk's spectra into its own per-spectrum sums; the
// sums of the threads are added at the end. The terms are whole numbers that cannot reach a
// 64-bit limit (see whole_counts_terms), so the order of the additions does not change a sum and
// the integrals are bit for bit those of the spectrum-by-spectrum reading. Memory is one stored
// chunk and one inflated chunk per thread, whatever the chunks' shape.
//
// Only 32-bit whole numbers in the machine's order take this road, stored contiguous or in
// chunks with no filter or deflate as the one filter; anything else, and any run whose counts
// do not come out whole this way (a damaged chunk), is read spectrum by spectrum by the caller,
// which reports what is wrong.
#include "dataaccess/counts_storage.hpp"

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace bantrisk::dataaccess {

struct ChunkSumsRequest {
  hid_t dataset = H5I_INVALID_HID; // the counts, open
  std::string path;                // the run file, read directly where addresses are known
  const CountsShape *shape = nullptr;
  const CountsStorage *storage = nullptr;
  std::int64_t spectra = 0;       // spectra 0..spectra-1 are summed
  std::int64_t first_channel = 0; // channels first_channel..first_channel+channel_count-1
  std::int64_t channel_count = 0;
  const float *boundaries = nullptr; // the run's boundaries (channels + 1)
};

// True when the counts of `dataset`, stored as `storage` says, can take this road.
bool chunk_order_suited(hid_t dataset, const CountsStorage &storage);

// The 64-bit sums of the terms of spectra 0..spectra-1 over the channels asked, or nothing when
// the counts could not all be read this way.
std::optional<std::vector<std::int64_t>> chunk_order_sums(const ChunkSumsRequest &request);

// Threads of the pool: BANTRISK_THREADS when set to 1..8, else the hardware's threads, at most 8.
unsigned reading_threads();

} // namespace bantrisk::dataaccess
