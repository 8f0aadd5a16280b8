#pragma once
// Streaming the counts block by block: a block is a few hundred spectra (whole chunk rows when
// the chunks allow it) read into one buffer, so that memory does not depend on the run's size
// and every chunk is decompressed once. The storage has been validated before a stream is made.
#include "dataaccess/counts_storage.hpp"
#include "dataaccess/direct_chunks.hpp"
#include "dataaccess/h5_util.hpp"
#include "dataaccess/hdf5_handle.hpp"
#include "dataaccess/nexus_run.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace bantrisk::dataaccess {

class BlockStream {
public:
  // Opens dataset `name` of `group` (the counts at `path`, of `shape`, stored as `storage`
  // validated) for reading spectra as whole numbers or reals; fills the reading fields of `plan`.
  // Stored chunks are read beside the library where they allow it, unless `direct` is false.
  BlockStream(const h5::Checker &ck, hid_t group, const std::string &name, const std::string &path,
              const CountsShape &shape, CountsStorage storage, bool whole_numbers, ReadPlan &plan,
              bool direct = true);
  bool whole_numbers() const { return whole_; }

  // Makes spectrum s0 (0-based) part of the loaded block.
  void load(std::int64_t s0);
  // True when spectrum s0 is part of the loaded block.
  bool holds(std::int64_t s0) const {
    return block_first_ >= 0 && s0 >= block_first_ && s0 < block_first_ + block_count_;
  }
  // Row of spectrum s0 in the loaded block (load first): `channels` counts.
  const std::int32_t *whole_row(std::int64_t s0) const;
  const double *real_row(std::int64_t s0) const;
  // The validated chunk records, for reading chunks directly.
  const CountsStorage &storage() const { return storage_; }

private:
  void read_block(std::int64_t s0);

  const h5::Checker &ck_;
  std::string path_;
  CountsStorage storage_;
  h5::Dataset counts_;
  h5::Dataspace file_space_;
  int rank_ = 0;
  std::int64_t spectra_ = 0;
  std::int64_t channels_ = 0;
  bool whole_ = true; // counts read as 32-bit whole numbers, else as doubles
  // Spectra are read in units (one chunk row, or the whole dataset when contiguous); a unit is
  // split into blocks of `block_spectra_`, or several units make a block.
  std::int64_t unit_ = 1;
  std::int64_t block_spectra_ = 1;
  bool units_per_block_ = true;
  std::vector<std::int32_t> whole_block_;
  std::vector<double> real_block_;
  std::int64_t block_first_ = -1; // first spectrum (0-based) of the loaded block, -1: none
  std::int64_t block_count_ = 0;
  // Whole-number chunks read as stored, and inflated, on a second thread (null: the library
  // reads them). Last, so it ends before the counts and records it reads.
  std::unique_ptr<DirectChunks> direct_;
};

} // namespace bantrisk::dataaccess
