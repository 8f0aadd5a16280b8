#include "dataaccess/block_stream.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace bantrisk::dataaccess {

namespace {

int next_prime(int n) {
  auto prime = [](int v) {
    if (v < 2) {
      return false;
    }
    for (int d = 2; d * d <= v; ++d) {
      if (v % d == 0) {
        return false;
      }
    }
    return true;
  };
  while (!prime(n)) {
    ++n;
  }
  return n;
}

} // namespace

BlockStream::BlockStream(const h5::Checker &ck, hid_t group, const std::string &name,
                         const std::string &path, const CountsShape &shape, CountsStorage storage,
                         bool whole_numbers, ReadPlan &plan, bool direct)
    : ck_(ck), path_(path), storage_(std::move(storage)), rank_(shape.rank), whole_(whole_numbers) {
  const CountsStorage &st = storage_;
  const auto r = static_cast<std::size_t>(rank_);
  spectra_ = static_cast<std::int64_t>(shape.dims[r - 2]);
  channels_ = static_cast<std::int64_t>(shape.dims[r - 1]);
  const std::size_t mem_elem = whole_numbers ? sizeof(std::int32_t) : sizeof(double);
  const std::size_t row_bytes = static_cast<std::size_t>(channels_) * mem_elem;
  const auto target_rows =
      static_cast<std::int64_t>(std::max<std::size_t>(1, block_target_bytes / row_bytes));

  plan.chunked = st.chunked;
  plan.filtered = st.filtered;
  std::size_t cache_bytes = 0;
  std::size_t cache_chunks = 0;
  if (st.chunked) {
    const auto chunk_rows = static_cast<std::int64_t>(st.chunk[r - 2]);
    const std::size_t chunks_across = st.grid[r - 1];
    unit_ = chunk_rows;
    plan.chunk_spectra = chunk_rows;
    if (chunk_rows <= target_rows) {
      // Several whole chunk rows make one block: every chunk is read exactly once.
      units_per_block_ = true;
      block_spectra_ = (target_rows / chunk_rows) * chunk_rows;
      cache_chunks = static_cast<std::size_t>(block_spectra_ / chunk_rows) * chunks_across;
    } else {
      // Chunks taller than a block: a chunk row is read in several blocks that never straddle
      // two chunk rows, and the cache keeps the chunk row so it is decompressed only once.
      units_per_block_ = false;
      const std::int64_t parts = (chunk_rows + target_rows - 1) / target_rows;
      block_spectra_ = (chunk_rows + parts - 1) / parts;
      cache_chunks = chunks_across;
    }
    // Uncompressed chunks are copied straight from the file into the block (no cache, no extra
    // copy); compressed ones go through a cache that holds what one block touches.
    // A chunk row taller than a block is kept whole whatever its size (bounded by the storage
    // validation): HDF5 holds a whole chunk to decompress it anyway, and a smaller cache would
    // decompress it once per block.
    if (st.filtered) {
      cache_bytes = units_per_block_
                        ? std::min(cache_chunks * st.chunk_bytes, chunk_cache_limit_bytes)
                        : cache_chunks * st.chunk_bytes;
    }
  } else {
    unit_ = 1;
    units_per_block_ = true;
    block_spectra_ = target_rows;
  }
  block_spectra_ = std::min<std::int64_t>(block_spectra_, spectra_);
  plan.block_spectra = block_spectra_;
  plan.block_bytes = static_cast<std::size_t>(block_spectra_) * row_bytes;
  plan.chunk_cache_bytes = cache_bytes;

  // The counts are opened here with their own chunk cache, which HDF5 applies only when no
  // other handle holds the dataset open.
  h5::PropList dapl(ck_.checked(H5Pcreate(H5P_DATASET_ACCESS), "cannot open " + path_));
  const int slots = next_prime(static_cast<int>(std::max<std::size_t>(101, 10 * cache_chunks)));
  ck_.checked(H5Pset_chunk_cache(dapl.get(), static_cast<std::size_t>(slots), cache_bytes, 1.0),
              "cannot set the chunk cache of " + path_);
  counts_.reset(
      ck_.checked(H5Dopen2(group, name.c_str(), dapl.get()), "cannot open dataset " + path_));
  file_space_.reset(ck_.checked(H5Dget_space(counts_.get()), "cannot read the shape of " + path_));
  h5::PropList applied(ck_.checked(H5Dget_access_plist(counts_.get()), "cannot open " + path_));
  std::size_t applied_slots = 0;
  ck_.checked(H5Pget_chunk_cache(applied.get(), &applied_slots, &plan.cache_in_effect, nullptr),
              "cannot read the chunk cache of " + path_);
  const auto elements = static_cast<std::size_t>(block_spectra_ * channels_);
  if (whole_numbers) {
    whole_block_.assign(elements, 0);
    if (direct && st.chunked && units_per_block_) {
      direct_ = DirectChunks::open_if_suited(
          counts_.get(), ChunkGeometry{rank_, spectra_, channels_, unit_, block_spectra_},
          storage_);
      plan.direct_chunks = direct_ != nullptr;
    }
  } else {
    real_block_.assign(elements, 0.0);
  }
}

void BlockStream::load(std::int64_t s0) {
  if (block_first_ < 0 || s0 < block_first_ || s0 >= block_first_ + block_count_) {
    read_block(s0);
  }
}

const std::int32_t *BlockStream::whole_row(std::int64_t s0) const {
  return whole_block_.data() + (s0 - block_first_) * channels_;
}

const double *BlockStream::real_row(std::int64_t s0) const {
  return real_block_.data() + (s0 - block_first_) * channels_;
}

void BlockStream::read_block(std::int64_t s0) {
  std::int64_t first = 0;
  std::int64_t end = 0;
  if (units_per_block_) {
    first = (s0 / block_spectra_) * block_spectra_;
    end = first + block_spectra_;
  } else {
    const std::int64_t unit_first = (s0 / unit_) * unit_;
    first = unit_first + ((s0 - unit_first) / block_spectra_) * block_spectra_;
    end = std::min(first + block_spectra_, unit_first + unit_);
  }
  end = std::min(end, spectra_);
  const std::int64_t count = end - first;

  // A failed read leaves no block loaded, so a retry reads again instead of using stale data.
  block_first_ = -1;
  if (direct_ && direct_->load(first, count, whole_block_)) {
    block_first_ = first;
    block_count_ = count;
    return;
  }
  const std::string what = "cannot read spectra " + std::to_string(first + 1) + " to " +
                           std::to_string(end) + " of " + path_;
  std::array<hsize_t, 3> start{};
  std::array<hsize_t, 3> extent{};
  const auto r = static_cast<std::size_t>(rank_);
  if (rank_ == 3) {
    start[0] = 0; // first period
    extent[0] = 1;
  }
  start[r - 2] = static_cast<hsize_t>(first);
  extent[r - 2] = static_cast<hsize_t>(count);
  start[r - 1] = 0;
  extent[r - 1] = static_cast<hsize_t>(channels_);
  ck_.checked(H5Sselect_hyperslab(file_space_.get(), H5S_SELECT_SET, start.data(), nullptr,
                                  extent.data(), nullptr),
              what);
  const std::array<hsize_t, 2> mem_dims{static_cast<hsize_t>(count),
                                        static_cast<hsize_t>(channels_)};
  h5::Dataspace mem_space(ck_.checked(H5Screate_simple(2, mem_dims.data(), nullptr), what));
  // Predefined native types: never closed.
  const hid_t mem_type = whole_ ? H5T_NATIVE_INT32 : H5T_NATIVE_DOUBLE;
  void *buffer =
      whole_ ? static_cast<void *>(whole_block_.data()) : static_cast<void *>(real_block_.data());
  ck_.checked(
      H5Dread(counts_.get(), mem_type, mem_space.get(), file_space_.get(), H5P_DEFAULT, buffer),
      what);
  block_first_ = first;
  block_count_ = count;
}

} // namespace bantrisk::dataaccess
