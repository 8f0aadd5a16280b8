// Stored chunks read as they lie and inflated on a second thread.
//
// The worker reads the stored bytes of each chunk of a block (the HDF5 library serialises the
// calls of the two threads; a build without that is not given a worker) and inflates them
// (libdeflate reads zlib streams exactly as the library's deflate filter writes them) into the
// rows of its slot. Each slot passes between the two threads under the mutex: the calling
// thread touches a slot only while it is not queued, the worker only while it works on it.
#include "dataaccess/direct_chunks.hpp"

#include "dataaccess/hdf5_handle.hpp"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace bantrisk::dataaccess {

namespace {

// One chunk of a block: its offset in the dataset, its validated record and where its spectra
// go in the slot's rows.
struct Piece {
  std::array<hsize_t, 3> offset{};
  ChunkRecord record;
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

} // namespace

struct DirectChunks::State {
  hid_t dataset = H5I_INVALID_HID;
  const CountsStorage *storage = nullptr;
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
  bool no_worker = false; // a second thread could not be had: the library reads every block
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
  bool fill(Slot &slot);
  bool read_chunk(const Piece &piece, std::int32_t *dest);
  void plan_block(Slot &slot, std::int64_t first, std::int64_t count);
  void submit(Slot &slot);
  void wait_while_queued(Slot &slot);
  void prefetch(std::int64_t first, const Slot &keep);
};

void DirectChunks::State::work() {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr); // failures are the caller's to report
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

// Reads one chunk into dest (chunk_bytes). Every chunk must come out at exactly its full size,
// as the library would give it; a chunk not stored (the fill value) is left to the library.
bool DirectChunks::State::read_chunk(const Piece &piece, std::int32_t *dest) {
  const std::size_t stored_bytes = piece.record.stored_bytes;
  if (stored_bytes == 0 || stored_bytes > stored_limit) {
    return false;
  }
  std::uint32_t skipped = 0;
  if (!filtered) {
    return stored_bytes == chunk_bytes &&
           H5Dread_chunk(dataset, H5P_DEFAULT, piece.offset.data(), &skipped, dest) >= 0;
  }
  if (stored.size() < stored_bytes) {
    stored.resize(stored_bytes);
  }
  if (H5Dread_chunk(dataset, H5P_DEFAULT, piece.offset.data(), &skipped, stored.data()) < 0) {
    return false;
  }
  if ((skipped & 1U) != 0) { // the filter was skipped: stored as it is
    if (stored_bytes != chunk_bytes) {
      return false;
    }
    std::copy_n(stored.data(), chunk_bytes, reinterpret_cast<unsigned char *>(dest));
    return true;
  }
  return libdeflate_zlib_decompress(inflater.get(), stored.data(), stored_bytes, dest, chunk_bytes,
                                    nullptr) == LIBDEFLATE_SUCCESS;
}

bool DirectChunks::State::fill(Slot &slot) {
  const auto row_elements = static_cast<std::size_t>(g.channels);
  for (const Piece &piece : slot.pieces) {
    if (!read_chunk(piece, slot.rows.data() + piece.first_row * row_elements)) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
  }
  return true;
}

// Lists the chunks of spectra first..first+count-1 for the worker.
void DirectChunks::State::plan_block(Slot &slot, std::int64_t first, std::int64_t count) {
  slot.pieces.clear();
  const auto r = static_cast<std::size_t>(g.rank);
  for (std::int64_t row = first; row < first + count; row += g.chunk_spectra) {
    Piece piece;
    piece.offset[r - 2] = static_cast<hsize_t>(row);
    // One chunk across the channels (and the first period): the records run along the spectra.
    piece.record = storage->chunks.at(static_cast<std::size_t>(row / g.chunk_spectra));
    piece.first_row = static_cast<std::size_t>(row - first);
    slot.pieces.push_back(piece);
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
  plan_block(other, first, std::min(g.block_spectra, g.spectra - first));
  submit(other);
}

DirectChunks::DirectChunks(std::unique_ptr<State> state) : st_(std::move(state)) {}
DirectChunks::~DirectChunks() = default;

std::unique_ptr<DirectChunks> DirectChunks::open_if_suited(hid_t dataset,
                                                           const ChunkGeometry &geometry,
                                                           const CountsStorage &storage) {
#if H5_VERSION_GE(1, 10, 3)
  const ChunkGeometry &g = geometry;
  hbool_t threadsafe = false;
  if (H5is_library_threadsafe(&threadsafe) < 0 || !threadsafe) {
    H5Eclear2(H5E_DEFAULT);
    return nullptr; // the worker could not call the library beside the caller
  }
  if ((g.rank != 2 && g.rank != 3) || g.channels <= 0 || g.chunk_spectra <= 0 ||
      g.block_spectra <= 0 ||
      (g.block_spectra % g.chunk_spectra != 0 && g.block_spectra < g.spectra)) {
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
  const int nfilters = H5Pget_nfilters(dcpl.get());
  const bool suited = H5Pget_layout(dcpl.get()) == H5D_CHUNKED &&
                      H5Pget_chunk(dcpl.get(), g.rank, chunk.data()) == g.rank &&
                      (nfilters == 0 ||
                       (nfilters == 1 && H5Pget_filter2(dcpl.get(), 0, &flags, &nelmts, nullptr, 0,
                                                        nullptr, nullptr) == H5Z_FILTER_DEFLATE)) &&
                      H5Tequal(type.get(), H5T_NATIVE_INT32) > 0 &&
                      chunk[r - 1] == static_cast<hsize_t>(g.channels) &&
                      chunk[r - 2] == static_cast<hsize_t>(g.chunk_spectra) &&
                      (g.rank == 2 || chunk[0] == 1);
  H5Eclear2(H5E_DEFAULT);
  if (!suited ||
      storage.chunks.size() !=
          static_cast<std::size_t>((g.spectra + g.chunk_spectra - 1) / g.chunk_spectra)) {
    return nullptr;
  }
  auto st = std::make_unique<State>();
  st->dataset = dataset;
  st->storage = &storage;
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
  // The worker starts with the first block: a file only opened (the trial opening) needs none.
  return std::unique_ptr<DirectChunks>(new DirectChunks(std::move(st)));
#else
  (void)dataset;
  (void)geometry;
  (void)storage;
  return nullptr;
#endif
}

bool DirectChunks::load(std::int64_t first, std::int64_t count, std::vector<std::int32_t> &rows) {
  State &st = *st_;
  if (!st.worker.joinable()) {
    if (st.no_worker) {
      return false;
    }
    try {
      st.worker = std::thread([state = &st] { state->work(); });
    } catch (const std::system_error &) {
      st.no_worker = true; // no second thread to be had: the library reads the chunks
      return false;
    }
  }
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
    st.plan_block(*slot, first, count);
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
