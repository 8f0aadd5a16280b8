// Stored chunks read as they lie and inflated on a second thread.
//
// The HDF5 library is called from the calling thread only, and only to look up where each chunk
// of a block lies in the file; the worker reads those bytes itself through a descriptor of its
// own and inflates them (libdeflate reads zlib streams exactly as the library's deflate filter
// writes them) into the rows of its slot. Each slot passes between the two threads under the
// mutex: the calling thread touches a slot only while it is not queued, the worker only while it
// works on it.
#include "dataaccess/direct_chunks.hpp"

#include "dataaccess/hdf5_handle.hpp"

#include <libdeflate.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace bantrisk::dataaccess {

namespace {

// One chunk of a block: where its stored bytes lie in the file and where its spectra go in the
// slot's rows.
struct Piece {
  std::uint64_t address = 0;
  std::size_t size = 0;
  bool compressed = true; // false: stored as it is (no filter, or the filter was skipped)
  std::size_t first_row = 0;
};

enum class SlotState { empty, queued, done, failed };

struct Slot {
  std::int64_t first = -1; // first spectrum of the block it holds or is reading
  SlotState state = SlotState::empty;
  std::vector<std::int32_t> rows;
  std::vector<Piece> pieces;
};

struct DeflateFree {
  void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

// Reads exactly `size` bytes at `offset`; false on an error or a short file.
bool read_exactly(int fd, void *dest, std::size_t size, std::uint64_t offset) {
  auto *out = static_cast<unsigned char *>(dest);
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

} // namespace

struct DirectChunks::State {
  int fd = -1;
  std::uint64_t file_size = 0;
  hid_t dataset = H5I_INVALID_HID;
  bool filtered = false;
  ChunkGeometry g;
  std::size_t chunk_bytes = 0;
  std::size_t stored_limit = 0; // largest stored chunk accepted: deflate's worst case
  std::unique_ptr<libdeflate_decompressor, DeflateFree> inflater;
  std::vector<unsigned char> stored; // the worker's buffer for one compressed chunk
  std::array<Slot, 2> slots;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<Slot *> queue;
  bool stopping = false;
  std::thread worker;

  ~State() {
    if (worker.joinable()) {
      {
        const std::lock_guard lock(mutex);
        stopping = true;
      }
      changed.notify_all();
      worker.join();
    }
    if (fd >= 0) {
      ::close(fd);
    }
  }

  void work();
  bool fill(Slot &slot);
  bool locate(Slot &slot, std::int64_t first, std::int64_t count);
  void submit(Slot &slot);
  void wait_while_queued(Slot &slot);
  void prefetch(std::int64_t first, const Slot &keep);
};

void DirectChunks::State::work() {
  for (;;) {
    Slot *slot = nullptr;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return stopping || !queue.empty(); });
      if (stopping) {
        return;
      }
      slot = queue.front();
      queue.pop_front();
    }
    const bool ok = fill(*slot);
    {
      const std::lock_guard lock(mutex);
      slot->state = ok ? SlotState::done : SlotState::failed;
    }
    changed.notify_all();
  }
}

// Every chunk must come out at exactly its full size, as the library would give it.
bool DirectChunks::State::fill(Slot &slot) {
  const auto row_elements = static_cast<std::size_t>(g.channels);
  for (const Piece &piece : slot.pieces) {
    std::int32_t *dest = slot.rows.data() + piece.first_row * row_elements;
    if (!piece.compressed) {
      if (piece.size != chunk_bytes || !read_exactly(fd, dest, chunk_bytes, piece.address)) {
        return false;
      }
      continue;
    }
    if (stored.size() < piece.size) {
      stored.resize(piece.size);
    }
    if (!read_exactly(fd, stored.data(), piece.size, piece.address) ||
        libdeflate_zlib_decompress(inflater.get(), stored.data(), piece.size, dest, chunk_bytes,
                                   nullptr) != LIBDEFLATE_SUCCESS) {
      return false;
    }
  }
  return true;
}

// Looks up where the chunks of spectra first..first+count-1 lie. False when a chunk is not
// stored, lies outside the file or claims more bytes than its data can take.
bool DirectChunks::State::locate(Slot &slot, std::int64_t first, std::int64_t count) {
  slot.first = -1;
  slot.state = SlotState::empty;
  slot.pieces.clear();
  const auto r = static_cast<std::size_t>(g.rank);
  std::array<hsize_t, 3> offset{};
  for (std::int64_t row = first; row < first + count; row += g.chunk_spectra) {
    offset[r - 2] = static_cast<hsize_t>(row);
    unsigned skipped = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    if (H5Dget_chunk_info_by_coord(dataset, offset.data(), &skipped, &address, &size) < 0 ||
        address == HADDR_UNDEF || size == 0 || size > stored_limit || address > file_size ||
        size > file_size - address) {
      H5Eclear2(H5E_DEFAULT);
      slot.pieces.clear();
      return false;
    }
    slot.pieces.push_back(Piece{static_cast<std::uint64_t>(address), static_cast<std::size_t>(size),
                                filtered && (skipped & 1U) == 0,
                                static_cast<std::size_t>(row - first)});
  }
  // Room for a whole block of whole chunks, whichever block: the buffer may change hands.
  const auto chunks_per_block =
      static_cast<std::size_t>((g.block_spectra + g.chunk_spectra - 1) / g.chunk_spectra);
  const std::size_t rows_needed = chunks_per_block * static_cast<std::size_t>(g.chunk_spectra) *
                                  static_cast<std::size_t>(g.channels);
  if (slot.rows.size() < rows_needed) {
    slot.rows.resize(rows_needed);
  }
  slot.first = first;
  return true;
}

void DirectChunks::State::submit(Slot &slot) {
  {
    const std::lock_guard lock(mutex);
    slot.state = SlotState::queued;
    queue.push_back(&slot);
  }
  changed.notify_all();
}

void DirectChunks::State::wait_while_queued(Slot &slot) {
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return slot.state != SlotState::queued; });
}

// Starts on the block at `first` in the slot other than `keep`, unless a slot has it already.
void DirectChunks::State::prefetch(std::int64_t first, const Slot &keep) {
  if (first >= g.spectra) {
    return;
  }
  for (const Slot &slot : slots) {
    if (slot.first == first) {
      return;
    }
  }
  Slot &other = &slots[0] == &keep ? slots[1] : slots[0];
  wait_while_queued(other);
  if (locate(other, first, std::min(g.block_spectra, g.spectra - first))) {
    submit(other);
  }
}

DirectChunks::DirectChunks(std::unique_ptr<State> state) : st_(std::move(state)) {}
DirectChunks::~DirectChunks() = default;

std::unique_ptr<DirectChunks> DirectChunks::open_if_suited(const std::string &path, hid_t file,
                                                           hid_t dataset,
                                                           const ChunkGeometry &geometry) {
#if H5_VERSION_GE(1, 10, 5)
  const ChunkGeometry &g = geometry;
  if ((g.rank != 2 && g.rank != 3) || g.channels <= 0 || g.chunk_spectra <= 0 ||
      g.block_spectra <= 0 ||
      (g.block_spectra % g.chunk_spectra != 0 && g.block_spectra < g.spectra)) {
    return nullptr;
  }
  h5::PropList dcpl(H5Dget_create_plist(dataset));
  h5::PropList fcpl(H5Fget_create_plist(file));
  h5::Type type(H5Dget_type(dataset));
  if (!dcpl || !fcpl || !type) {
    H5Eclear2(H5E_DEFAULT);
    return nullptr;
  }
  const auto r = static_cast<std::size_t>(g.rank);
  std::array<hsize_t, 3> chunk{};
  unsigned flags = 0;
  std::size_t nelmts = 0;
  hsize_t userblock = 1;
  const int nfilters = H5Pget_nfilters(dcpl.get());
  // Chunk addresses count from the start of the file only when it has no user block.
  const bool suited =
      H5Pget_userblock(fcpl.get(), &userblock) >= 0 && userblock == 0 &&
      H5Pget_layout(dcpl.get()) == H5D_CHUNKED &&
      H5Pget_chunk(dcpl.get(), g.rank, chunk.data()) == g.rank &&
      (nfilters == 0 ||
       (nfilters == 1 && H5Pget_filter2(dcpl.get(), 0, &flags, &nelmts, nullptr, 0, nullptr,
                                        nullptr) == H5Z_FILTER_DEFLATE)) &&
      H5Tequal(type.get(), H5T_NATIVE_INT32) > 0 &&
      chunk[r - 1] == static_cast<hsize_t>(g.channels) &&
      chunk[r - 2] == static_cast<hsize_t>(g.chunk_spectra) && (g.rank == 2 || chunk[0] == 1);
  H5Eclear2(H5E_DEFAULT);
  if (!suited) {
    return nullptr;
  }
  auto st = std::make_unique<State>();
  st->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (st->fd < 0 || ::fstat(st->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    return nullptr;
  }
  st->file_size = static_cast<std::uint64_t>(info.st_size);
  st->dataset = dataset;
  st->filtered = nfilters == 1;
  st->g = g;
  st->chunk_bytes = static_cast<std::size_t>(g.chunk_spectra) *
                    static_cast<std::size_t>(g.channels) * sizeof(std::int32_t);
  // zlib's bound for a stream that could not be compressed at all.
  const std::size_t n = st->chunk_bytes;
  st->stored_limit = n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
  st->inflater.reset(libdeflate_alloc_decompressor());
  if (!st->inflater) {
    return nullptr;
  }
  try {
    st->worker = std::thread([state = st.get()] { state->work(); });
  } catch (const std::system_error &) {
    return nullptr; // no second thread to be had: the library reads the chunks
  }
  return std::unique_ptr<DirectChunks>(new DirectChunks(std::move(st)));
#else
  (void)path;
  (void)file;
  (void)dataset;
  (void)geometry;
  return nullptr;
#endif
}

bool DirectChunks::load(std::int64_t first, std::int64_t count, std::vector<std::int32_t> &rows) {
  State &st = *st_;
  Slot *slot = nullptr;
  for (Slot &s : st.slots) {
    if (s.first == first) {
      slot = &s;
    }
  }
  if (slot == nullptr) {
    // Not read ahead (the first block, or spectra asked out of order): read it now, in the slot
    // that is not about to be filled, or once that one is done.
    slot = st.slots[0].state != SlotState::queued ? &st.slots[0] : &st.slots[1];
    st.wait_while_queued(*slot);
    if (!st.locate(*slot, first, count)) {
      return false;
    }
    st.submit(*slot);
  }
  // The next block is read while this one is used.
  st.prefetch(first + st.g.block_spectra, *slot);
  st.wait_while_queued(*slot);
  const bool ok = slot->state == SlotState::done;
  if (ok) {
    rows.swap(slot->rows);
  }
  slot->first = -1;
  slot->state = SlotState::empty;
  return ok;
}

} // namespace bantrisk::dataaccess
