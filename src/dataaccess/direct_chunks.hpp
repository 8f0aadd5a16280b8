#pragma once
// Chunked whole-number counts read the fast way: the stored chunks are read as they lie in the
// file, and inflated by libdeflate when compressed, on a second thread one block ahead of the one
// in use, so that reading, inflating and integrating overlap. Only the storage it was made for
// takes this road: 32-bit whole numbers in the machine's order, no filter or deflate as the one
// filter, chunks spanning every channel (and one period) and blocks of whole chunks. Anything
// else, and any block that does not come out whole this way, is read by the caller through the
// library as before.
#include "dataaccess/counts_storage.hpp"

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace bantrisk::dataaccess {

// Where the counts lie and how they are read in blocks.
struct ChunkGeometry {
  int rank = 2;                   // 2: [spectra, channels]; 3: [periods, spectra, channels]
  std::int64_t spectra = 0;       // of the run
  std::int64_t channels = 0;      // of the run
  std::int64_t chunk_spectra = 0; // chunk extent along the spectra
  std::int64_t block_spectra = 0; // spectra of one block, a multiple of chunk_spectra
};

class DirectChunks {
public:
  // The reader for `dataset` stored as `storage` says (both kept by the caller while the reader
  // lives), or null when its storage is not the one this reader handles or the HDF5 library
  // cannot be called from two threads.
  static std::unique_ptr<DirectChunks> open_if_suited(hid_t dataset, const ChunkGeometry &geometry,
                                                      const CountsStorage &storage);
  ~DirectChunks();
  DirectChunks(const DirectChunks &) = delete;
  DirectChunks &operator=(const DirectChunks &) = delete;

  // Puts the block of spectra first..first+count-1 (first a multiple of block_spectra) into
  // `rows`, which is exchanged with one of the reader's buffers (rows keeps block_spectra x
  // channels elements), and starts on the next block. False when the block could not be read
  // this way (a damaged chunk, a chunk not stored): the caller then reads it into `rows`.
  bool load(std::int64_t first, std::int64_t count, std::vector<std::int32_t> &rows);

private:
  struct State;
  explicit DirectChunks(std::unique_ptr<State> state);
  std::unique_ptr<State> st_;
};

} // namespace bantrisk::dataaccess
