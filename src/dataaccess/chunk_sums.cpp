// The run integrated in the order its counts are stored, on a pool of threads.
#include "dataaccess/chunk_sums.hpp"

#include "dataaccess/hdf5_handle.hpp"
#include "lib/integration.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace bantrisk::dataaccess {

namespace {

// Contiguous counts are read in pieces of about this size.
constexpr std::size_t contiguous_piece_bytes = std::size_t{1} << 20;
constexpr unsigned max_threads = 8;
// The threads' buffers (a stored and an inflated chunk each) are kept within this, down to one
// thread: large chunks are read by fewer threads.
constexpr std::size_t buffers_budget = std::size_t{16} << 20;

// One piece of the counts: a chunk, or rows of contiguous counts.
struct Piece {
  std::uint64_t address = 0; // in the file; 0: read through the library by `offset`
  std::uint32_t stored = 0;  // bytes as stored
  bool compressed = false;
  std::array<hsize_t, 3> offset{}; // of the chunk in the dataset
  std::int64_t first_spectrum = 0;
  std::int64_t spectra = 0;       // rows of the piece
  std::int64_t first_channel = 0; // columns of the piece
  std::int64_t channels = 0;
};

struct DeflateFree {
  void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

struct FileCloser {
  int fd = -1;
  ~FileCloser() {
    if (fd >= 0) {
      ::close(fd);
    }
  }
};

bool read_fully(int fd, unsigned char *dest, std::size_t bytes, std::uint64_t address) {
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t n = ::pread(fd, dest + done, bytes - done, static_cast<off_t>(address + done));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

class Summing {
public:
  Summing(const ChunkSumsRequest &rq, std::vector<Piece> pieces, std::size_t piece_bytes, int fd)
      : rq_(rq), pieces_(std::move(pieces)), piece_bytes_(piece_bytes), fd_(fd) {}

  // Runs the pool; false when a piece could not be read whole.
  bool run(std::vector<std::int64_t> &sums) {
    const auto by_memory = static_cast<unsigned>(
        std::clamp<std::size_t>(buffers_budget / std::max<std::size_t>(1, 2 * piece_bytes_), 1,
                                max_threads));
    const unsigned wanted = std::max(
        1u, std::min({reading_threads(), by_memory, static_cast<unsigned>(pieces_.size())}));
    std::vector<std::vector<std::int64_t>> partial(wanted);
    std::vector<std::thread> pool;
    pool.reserve(wanted); // no reallocation below: a thread made is always joined
    for (unsigned t = 1; t < wanted; ++t) {
      try {
        pool.emplace_back([this, &partial, t] { work(partial[t]); });
      } catch (const std::exception &) {
        break; // fewer threads to be had (or no memory for one): the others do the work
      }
    }
    work(partial[0]);
    for (std::thread &thread : pool) {
      thread.join();
    }
    if (failed_.load()) {
      return false;
    }
    sums.assign(static_cast<std::size_t>(rq_.spectra), 0);
    for (const std::vector<std::int64_t> &p : partial) {
      for (std::size_t s = 0; s < p.size(); ++s) {
        sums[s] += p[s];
      }
    }
    return true;
  }

private:
  void work(std::vector<std::int64_t> &sums) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // failures are the caller's to report
    try {
      sums.assign(static_cast<std::size_t>(rq_.spectra), 0);
      std::unique_ptr<libdeflate_decompressor, DeflateFree> inflater(
          libdeflate_alloc_decompressor());
      if (!inflater) {
        failed_ = true;
        return;
      }
      std::vector<unsigned char> stored;
      std::vector<std::int32_t> counts((piece_bytes_ + 3) / 4);
      for (;;) {
        const std::size_t i = next_.fetch_add(1);
        if (i >= pieces_.size() || failed_.load(std::memory_order_relaxed)) {
          return;
        }
        if (!take(pieces_[i], inflater.get(), stored, counts, sums)) {
          failed_ = true;
          return;
        }
      }
    } catch (...) {
      failed_ = true; // no memory for its buffers, for one: the caller reads the run otherwise
    }
  }

  bool take(const Piece &piece, libdeflate_decompressor *inflater,
            std::vector<unsigned char> &stored, std::vector<std::int32_t> &counts,
            std::vector<std::int64_t> &sums) {
    auto *whole = reinterpret_cast<unsigned char *>(counts.data());
    const std::size_t bytes = piece.compressed ? piece_bytes_ : piece.stored;
    if (bytes > counts.size() * sizeof(std::int32_t)) {
      return false;
    }
    unsigned char *into = piece.compressed ? nullptr : whole;
    if (piece.compressed) {
      if (stored.size() < piece.stored) {
        stored.resize(piece.stored);
      }
      into = stored.data();
    }
    if (piece.address != 0) {
      if (!read_fully(fd_, into, piece.stored, piece.address)) {
        return false;
      }
    } else {
      const std::lock_guard lock(library_);
      std::uint32_t mask = 0;
      const bool ok = H5Dread_chunk(rq_.dataset, H5P_DEFAULT, piece.offset.data(), &mask, into) >= 0;
      H5Eclear2(H5E_DEFAULT);
      // A chunk whose mask was not validated must have had every filter applied; any other is
      // left to the reading that validates it first.
      if (!ok || (!rq_.storage->masks_known && mask != 0)) {
        return false;
      }
    }
    if (piece.compressed) {
      if (libdeflate_zlib_decompress(inflater, stored.data(), piece.stored, whole, bytes,
                                     nullptr) != LIBDEFLATE_SUCCESS) {
        return false;
      }
    } else if (bytes != piece_bytes_ && rq_.storage->chunked) {
      return false;
    }
    // The piece's columns within the channels asked.
    const std::int64_t from = std::max(piece.first_channel, rq_.first_channel);
    const std::int64_t to = std::min(piece.first_channel + piece.channels,
                                     rq_.first_channel + rq_.channel_count);
    if (to <= from) {
      return true;
    }
    const auto n = static_cast<std::size_t>(to - from);
    const float *b = rq_.boundaries + from;
    const std::int64_t last = std::min(piece.first_spectrum + piece.spectra, rq_.spectra);
    for (std::int64_t s = piece.first_spectrum; s < last; ++s) {
      const std::int32_t *row = counts.data() + (s - piece.first_spectrum) * piece.channels +
                                (from - piece.first_channel);
      sums[static_cast<std::size_t>(s)] += whole_counts_terms(b, row, n);
    }
    return true;
  }

  const ChunkSumsRequest &rq_;
  std::vector<Piece> pieces_;
  std::size_t piece_bytes_;
  int fd_;
  std::atomic<std::size_t> next_{0};
  std::atomic<bool> failed_{false};
  std::mutex library_; // one thread at a time in the HDF5 library
};

// The chunks of the spectra asked, in the order they are stored when their addresses are known.
std::vector<Piece> chunk_pieces(const ChunkSumsRequest &rq) {
  const CountsStorage &st = *rq.storage;
  const auto r = static_cast<std::size_t>(rq.shape->rank);
  const auto chunk_spectra = static_cast<std::int64_t>(st.chunk[r - 2]);
  const auto chunk_channels = static_cast<std::int64_t>(st.chunk[r - 1]);
  const std::int64_t last_channel = rq.first_channel + rq.channel_count;
  std::vector<Piece> pieces;
  std::array<hsize_t, 3> index{};
  for (const ChunkRecord &record : st.chunks) {
    Piece p;
    for (std::size_t i = 0; i < r; ++i) {
      p.offset[i] = index[i] * st.chunk[i];
    }
    p.first_spectrum = static_cast<std::int64_t>(p.offset[r - 2]);
    p.spectra = chunk_spectra;
    p.first_channel = static_cast<std::int64_t>(p.offset[r - 1]);
    p.channels = chunk_channels;
    p.address = record.address;
    p.stored = record.stored_bytes;
    p.compressed = st.filtered && (record.filter_mask & 1U) == 0;
    if (p.first_spectrum < rq.spectra && p.first_channel < last_channel &&
        p.first_channel + p.channels > rq.first_channel) {
      pieces.push_back(p);
    }
    for (std::size_t i = r; i-- > 0;) {
      if (++index[i] < st.grid[i]) {
        break;
      }
      index[i] = 0;
    }
  }
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const Piece &a, const Piece &b) { return a.address < b.address; });
  return pieces;
}

std::vector<Piece> contiguous_pieces(const ChunkSumsRequest &rq, std::int64_t rows_per_piece) {
  const auto r = static_cast<std::size_t>(rq.shape->rank);
  const auto channels = static_cast<std::int64_t>(rq.shape->dims[r - 1]);
  std::vector<Piece> pieces;
  for (std::int64_t s = 0; s < rq.spectra; s += rows_per_piece) {
    Piece p;
    p.first_spectrum = s;
    p.spectra = std::min(rows_per_piece, rq.spectra - s);
    p.first_channel = 0;
    p.channels = channels;
    p.address = rq.storage->contiguous_address +
                static_cast<std::uint64_t>(s) * static_cast<std::uint64_t>(channels) * 4;
    p.stored = static_cast<std::uint32_t>(p.spectra * channels * 4);
    pieces.push_back(p);
  }
  return pieces;
}

// The first piece as read directly against the library's reading of it: a run whose addresses
// are not what this reader takes them for is read through the library.
bool addresses_agree(const ChunkSumsRequest &rq, const Piece &piece, int fd, std::size_t bytes) {
  std::vector<unsigned char> direct(bytes);
  std::vector<unsigned char> library(bytes);
  if (!read_fully(fd, direct.data(), bytes, piece.address)) {
    return false;
  }
  bool ok = false;
  if (rq.storage->chunked) {
    std::uint32_t mask = 0;
    hsize_t size = 0;
    ok = H5Dget_chunk_storage_size(rq.dataset, piece.offset.data(), &size) >= 0 &&
         size == bytes &&
         H5Dread_chunk(rq.dataset, H5P_DEFAULT, piece.offset.data(), &mask, library.data()) >= 0;
  } else {
    const auto r = static_cast<std::size_t>(rq.shape->rank);
    std::array<hsize_t, 3> start{};
    std::array<hsize_t, 3> extent{1, 1, 1};
    extent[r - 1] = rq.shape->dims[r - 1];
    h5::Dataspace file_space(H5Dget_space(rq.dataset));
    const hsize_t elements = rq.shape->dims[r - 1];
    h5::Dataspace mem_space(H5Screate_simple(1, &elements, nullptr));
    ok = file_space && mem_space &&
         H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                             extent.data(), nullptr) >= 0 &&
         H5Dread(rq.dataset, H5T_NATIVE_INT32, mem_space.get(), file_space.get(), H5P_DEFAULT,
                 library.data()) >= 0;
    bytes = std::min<std::size_t>(bytes, elements * 4);
  }
  H5Eclear2(H5E_DEFAULT);
  return ok && std::memcmp(direct.data(), library.data(), bytes) == 0;
}

} // namespace

unsigned reading_threads() {
  if (const char *set = std::getenv("BANTRISK_THREADS")) {
    char *end = nullptr;
    const long n = std::strtol(set, &end, 10);
    if (end != set && *end == '\0' && n >= 1 && n <= static_cast<long>(max_threads)) {
      return static_cast<unsigned>(n);
    }
  }
  return std::clamp(std::thread::hardware_concurrency(), 1u, max_threads);
}

bool chunk_order_suited(hid_t dataset, const CountsStorage &storage) {
  h5::Type type(H5Dget_type(dataset));
  h5::PropList dcpl(H5Dget_create_plist(dataset));
  bool suited = type && dcpl && H5Tequal(type.get(), H5T_NATIVE_INT32) > 0;
  if (suited && storage.chunked) {
    const int nfilters = H5Pget_nfilters(dcpl.get());
    unsigned flags = 0;
    std::size_t nelmts = 0;
    suited = (nfilters == 0 ||
              (nfilters == 1 && H5Pget_filter2(dcpl.get(), 0, &flags, &nelmts, nullptr, 0,
                                               nullptr, nullptr) == H5Z_FILTER_DEFLATE));
  } else if (suited) {
    suited = storage.contiguous_address != 0;
  }
  H5Eclear2(H5E_DEFAULT);
  return suited;
}

std::optional<std::vector<std::int64_t>> chunk_order_sums(const ChunkSumsRequest &rq) {
  const CountsStorage &st = *rq.storage;
  const auto r = static_cast<std::size_t>(rq.shape->rank);
  const auto channels = static_cast<std::int64_t>(rq.shape->dims[r - 1]);
  if (rq.spectra <= 0 || rq.channel_count <= 0) {
    return std::vector<std::int64_t>(static_cast<std::size_t>(std::max<std::int64_t>(0, rq.spectra)),
                                     0);
  }
  std::vector<Piece> pieces;
  std::size_t piece_bytes = 0;
  if (st.chunked) {
    pieces = chunk_pieces(rq);
    piece_bytes = st.chunk_bytes;
  } else {
    const auto row_bytes = static_cast<std::size_t>(channels) * 4;
    const auto rows = static_cast<std::int64_t>(std::max<std::size_t>(1, contiguous_piece_bytes / row_bytes));
    pieces = contiguous_pieces(rq, rows);
    piece_bytes = static_cast<std::size_t>(rows) * row_bytes;
  }
  FileCloser file;
  const bool direct = std::any_of(pieces.begin(), pieces.end(),
                                  [](const Piece &p) { return p.address != 0; });
  if (direct) {
    file.fd = ::open(rq.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0 || pieces.empty() ||
        !addresses_agree(rq, pieces.front(), file.fd, pieces.front().stored)) {
      if (!st.chunked) {
        return std::nullopt;
      }
      for (Piece &p : pieces) {
        p.address = 0; // read through the library
      }
    }
  }
  std::vector<std::int64_t> sums;
  Summing summing(rq, std::move(pieces), piece_bytes, file.fd);
  if (!summing.run(sums)) {
    return std::nullopt;
  }
  return sums;
}

} // namespace bantrisk::dataaccess
