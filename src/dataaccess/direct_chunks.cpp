// Stored chunks read as they lie and inflated on a second thread.
//
// The HDF5 library is called from the calling thread only: it reads the stored bytes of a
// block's chunks, hands them to the worker, and reads the next block's while the worker
// inflates. The worker only inflates (libdeflate, which reads zlib streams exactly as the
// library's deflate filter writes them) into a buffer of its slot. Each slot passes between
// the two threads under the mutex: the calling thread touches a slot only while it is not
// queued, the worker only while it inflates it.
#include "dataaccess/direct_chunks.hpp"

#include "dataaccess/hdf5_handle.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace bantrisk::dataaccess {

namespace {

// One chunk of a block: where its stored bytes lie in the slot's raw buffer and where its
// spectra go in the slot's rows.
struct Piece {
  std::size_t offset = 0;
  std::size_t size = 0;
  bool compressed = true; // false: the filter was skipped for this chunk, stored as it is
  std::size_t first_row = 0;
};

enum class SlotState { empty, queued, done, failed };

struct Slot {
  std::int64_t first = -1; // first spectrum of the block it holds or is reading
  SlotState state = SlotState::empty;
  std::vector<std::int32_t> rows;
  std::vector<unsigned char> raw;
  std::vector<Piece> pieces;
};

struct DeflateFree {
  void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

} // namespace

struct DirectChunks::State {
  hid_t dataset = H5I_INVALID_HID;
  ChunkGeometry g;
  std::size_t chunk_bytes = 0;
  std::size_t stored_limit = 0; // largest stored chunk accepted: deflate's worst case
  std::unique_ptr<libdeflate_decompressor, DeflateFree> inflater;
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
  }

  void work();
  bool inflate(Slot &slot);
  bool read_stored(Slot &slot, std::int64_t first, std::int64_t count);
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
    const bool ok = inflate(*slot);
    {
      const std::lock_guard lock(mutex);
      slot->state = ok ? SlotState::done : SlotState::failed;
    }
    changed.notify_all();
  }
}

// Every chunk must come out at exactly its full size, as the library's filter would give it.
bool DirectChunks::State::inflate(Slot &slot) {
  const auto row_elements = static_cast<std::size_t>(g.channels);
  for (const Piece &piece : slot.pieces) {
    std::int32_t *dest = slot.rows.data() + piece.first_row * row_elements;
    const unsigned char *src = slot.raw.data() + piece.offset;
    if (piece.compressed) {
      if (libdeflate_zlib_decompress(inflater.get(), src, piece.size, dest, chunk_bytes,
                                     nullptr) != LIBDEFLATE_SUCCESS) {
        return false;
      }
    } else {
      if (piece.size != chunk_bytes) {
        return false;
      }
      std::memcpy(dest, src, chunk_bytes);
    }
  }
  return true;
}

// Reads the stored bytes of the chunks of spectra first..first+count-1 into the slot. False
// when a chunk is not stored, claims more bytes than deflate can make of it, or fails to read.
bool DirectChunks::State::read_stored(Slot &slot, std::int64_t first, std::int64_t count) {
  slot.first = -1;
  slot.state = SlotState::empty;
  slot.pieces.clear();
  const auto r = static_cast<std::size_t>(g.rank);
  std::array<hsize_t, 3> offset{};
  std::size_t total = 0;
  for (std::int64_t row = first; row < first + count; row += g.chunk_spectra) {
    offset[r - 2] = static_cast<hsize_t>(row);
    hsize_t stored = 0;
    if (H5Dget_chunk_storage_size(dataset, offset.data(), &stored) < 0 || stored == 0 ||
        stored > stored_limit) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    slot.pieces.push_back(Piece{total, static_cast<std::size_t>(stored), true,
                                static_cast<std::size_t>(row - first)});
    total += static_cast<std::size_t>(stored);
  }
  if (slot.raw.size() < total) {
    slot.raw.resize(total);
  }
  // Room for a whole block of whole chunks, whichever block: the buffer may change hands.
  const auto chunks_per_block =
      static_cast<std::size_t>((g.block_spectra + g.chunk_spectra - 1) / g.chunk_spectra);
  const std::size_t rows_needed = chunks_per_block * static_cast<std::size_t>(g.chunk_spectra) *
                                  static_cast<std::size_t>(g.channels);
  if (slot.rows.size() < rows_needed) {
    slot.rows.resize(rows_needed);
  }
  for (Piece &piece : slot.pieces) {
    offset[r - 2] = static_cast<hsize_t>(first) + piece.first_row;
    std::uint32_t skipped = 0;
    if (H5Dread_chunk(dataset, H5P_DEFAULT, offset.data(), &skipped, slot.raw.data() + piece.offset) <
        0) {
      H5Eclear2(H5E_DEFAULT);
      slot.pieces.clear();
      return false;
    }
    piece.compressed = (skipped & 1U) == 0;
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
  if (read_stored(other, first, std::min(g.block_spectra, g.spectra - first))) {
    submit(other);
  }
}

DirectChunks::DirectChunks(std::unique_ptr<State> state) : st_(std::move(state)) {}
DirectChunks::~DirectChunks() = default;

std::unique_ptr<DirectChunks> DirectChunks::open_if_suited(hid_t dataset,
                                                           const ChunkGeometry &geometry) {
#if H5_VERSION_GE(1, 10, 3)
  const ChunkGeometry &g = geometry;
  if ((g.rank != 2 && g.rank != 3) || g.channels <= 0 || g.chunk_spectra <= 0 ||
      g.block_spectra <= 0 || (g.block_spectra % g.chunk_spectra != 0 && g.block_spectra < g.spectra)) {
    return nullptr;
  }
  h5::PropList dcpl(H5Dget_create_plist(dataset));
  h5::Type type(H5Dget_type(dataset));
  if (!dcpl || !type) {
    H5Eclear2(H5E_DEFAULT);
    return nullptr;
  }
  const auto r = static_cast<std::size_t>(g.rank);
  std::array<hsize_t, 3> chunk{};
  unsigned flags = 0;
  std::size_t nelmts = 0;
  const bool suited =
      H5Pget_layout(dcpl.get()) == H5D_CHUNKED &&
      H5Pget_chunk(dcpl.get(), g.rank, chunk.data()) == g.rank &&
      H5Pget_nfilters(dcpl.get()) == 1 &&
      H5Pget_filter2(dcpl.get(), 0, &flags, &nelmts, nullptr, 0, nullptr, nullptr) ==
          H5Z_FILTER_DEFLATE &&
      H5Tequal(type.get(), H5T_NATIVE_INT32) > 0 &&
      chunk[r - 1] == static_cast<hsize_t>(g.channels) &&
      chunk[r - 2] == static_cast<hsize_t>(g.chunk_spectra) && (g.rank == 2 || chunk[0] == 1);
  H5Eclear2(H5E_DEFAULT);
  if (!suited) {
    return nullptr;
  }
  auto st = std::make_unique<State>();
  st->dataset = dataset;
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
    // that is not about to be inflated, or wait for that one.
    slot = st.slots[0].state != SlotState::queued ? &st.slots[0] : &st.slots[1];
    st.wait_while_queued(*slot);
    if (!st.read_stored(*slot, first, count)) {
      return false;
    }
    st.submit(*slot);
  }
  // The next block's stored bytes are read while this one is inflated.
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
