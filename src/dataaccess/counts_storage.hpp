#pragma once
// Validation of how the counts are stored, before any of them is read. HDF5 trusts a file's
// chunk index and layout: a damaged record (a chunk beyond the end of the file, a filter mask
// saying the compression was skipped on bytes that are compressed, a stored size that does not
// match) makes it read outside its buffers. Every chunk the reader will touch is therefore
// checked here, and a run is refused when its storage cannot be read safely or within bounded
// memory.
#include "dataaccess/h5_util.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bantrisk::dataaccess {

// Largest uncompressed size of one chunk, and of one row of chunks side by side along the time
// channels (a block touches a whole row; compressed, the cache must hold it).
inline constexpr std::size_t max_chunk_bytes = std::size_t{256} << 20;
// Largest number of chunks in the spectra read (the first period).
inline constexpr std::size_t max_chunks = std::size_t{1} << 18;

// What the reader knows of the counts before it reads them.
struct CountsShape {
  int rank = 0;                  // 2: [spectra, channels]; 3: [periods, spectra, channels]
  std::array<hsize_t, 3> dims{}; // the dataset's extent
  std::size_t file_element = 0;  // bytes of one count in the file
};

// Largest number of chunks whose index records are read one by one by their place in the index
// (HDF5 1.10 walks the index from its start for each of them, so the cost grows with the square
// of the number); more chunks are looked up by position, which gives no address.
inline constexpr std::size_t max_chunks_read_by_index = 1024;

// One chunk of the spectra read, as its index record says and as validated.
struct ChunkRecord {
  std::uint32_t stored_bytes = 0; // always above 0: a run whose counts were not all written is
                                  // refused
  std::uint32_t filter_mask = 0;  // bit i set: filter i of the pipeline was not applied
  std::uint64_t address = 0;      // where its bytes begin in the file; 0: not known
};

// How much of the chunk index is read: the probe reads records only, never a chunk's bytes;
// the session also needs the filter masks, which HDF5 1.10 gives by index for few chunks only
// and otherwise with the chunk's stored bytes.
enum class IndexReading { records_only, with_filter_masks };

struct CountsStorage {
  bool chunked = false;
  bool filtered = false;
  std::array<hsize_t, 3> chunk{};  // chunk extent (chunked storage)
  std::array<hsize_t, 3> grid{};   // chunks along each dimension of the spectra read
  std::size_t chunk_bytes = 0;     // uncompressed bytes of one chunk
  std::vector<ChunkRecord> chunks; // the grid in row-major order (period 1 only)
  bool masks_known = false;        // the filter masks of `chunks` were read
  std::uint64_t contiguous_address = 0; // where contiguous counts begin in the file (0: compact)
};

// Checks the storage of dataset `counts` in the file of `file_size` bytes; fails through `ck`
// naming the dataset `where` otherwise.
CountsStorage validate_counts_storage(const h5::Checker &ck, hid_t counts, const std::string &where,
                                      const CountsShape &shape, std::uint64_t file_size,
                                      IndexReading reading = IndexReading::with_filter_masks);

} // namespace bantrisk::dataaccess
