// The floor of a compressed run: its stored chunks read from the file and inflated on all the
// threads the program's reader uses, and nothing else (no integration). Prints the time.
#include <hdf5.h>
#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Chunk {
  haddr_t address = 0;
  hsize_t size = 0;
};

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: bantrisk-bench-inflate RUNFILE DATASET\n";
    return 2;
  }
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  const hid_t file = H5Fopen(argv[1], H5F_ACC_RDONLY, H5P_DEFAULT);
  const hid_t ds = file < 0 ? -1 : H5Dopen2(file, argv[2], H5P_DEFAULT);
  if (ds < 0) {
    std::cerr << "cannot open " << argv[1] << " " << argv[2] << "\n";
    return 1;
  }
  const hid_t dcpl = H5Dget_create_plist(ds);
  std::vector<hsize_t> dims(2);
  if (H5Pget_chunk(dcpl, 2, dims.data()) != 2) {
    std::cerr << "not chunked in two dimensions\n";
    return 1;
  }
  const std::size_t chunk_bytes = dims[0] * dims[1] * 4;
  const hid_t space = H5Dget_space(ds);
  hsize_t n = 0;
  H5Dget_num_chunks(ds, space, &n);
  std::vector<Chunk> chunks(n);
  for (hsize_t i = 0; i < n; ++i) {
    std::vector<hsize_t> offset(2);
    unsigned mask = 0;
    H5Dget_chunk_info(ds, space, i, offset.data(), &mask, &chunks[i].address, &chunks[i].size);
  }
  std::sort(chunks.begin(), chunks.end(),
            [](const Chunk &a, const Chunk &b) { return a.address < b.address; });
  const int fd = ::open(argv[1], O_RDONLY);
  unsigned threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
  if (const char *t = std::getenv("BANTRISK_THREADS")) {
    threads = static_cast<unsigned>(std::clamp(std::atoi(t), 1, 8));
  }
  const auto setup = clock::now();
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> check{0};
  auto work = [&] {
    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    std::vector<unsigned char> in;
    std::vector<unsigned char> out(chunk_bytes);
    for (std::size_t i; (i = next.fetch_add(1)) < chunks.size();) {
      in.resize(chunks[i].size);
      if (::pread(fd, in.data(), in.size(), static_cast<off_t>(chunks[i].address)) !=
          static_cast<ssize_t>(in.size())) {
        std::abort();
      }
      libdeflate_zlib_decompress(d, in.data(), in.size(), out.data(), out.size(), nullptr);
      check += out[0];
    }
    libdeflate_free_decompressor(d);
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) {
    pool.emplace_back(work);
  }
  work();
  for (auto &t : pool) {
    t.join();
  }
  const auto end = clock::now();
  std::cout << "chunks " << n << " threads " << threads << " index_seconds "
            << std::chrono::duration<double>(setup - start).count() << " inflate_seconds "
            << std::chrono::duration<double>(end - setup).count() << " check " << check << "\n";
  return 0;
}
