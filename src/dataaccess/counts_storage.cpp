#include "dataaccess/counts_storage.hpp"

#include "dataaccess/hdf5_handle.hpp"

#include <algorithm>
#include <string>

namespace bantrisk::dataaccess {

namespace {

std::string mib(std::size_t bytes) {
  return std::to_string(bytes >> 20) + " MiB";
}

// True when the range [address, address + bytes) lies inside a file of `file_size` bytes.
bool inside_file(haddr_t address, std::uint64_t bytes, std::uint64_t file_size) {
  return address != HADDR_UNDEF && address <= file_size && bytes <= file_size - address;
}

// The filters of the pipeline: which may be skipped on a chunk, and which keep its size.
struct Pipeline {
  int count = 0;
  std::uint32_t optional = 0;      // bits of filters a writer may skip
  std::uint32_t size_changing = 0; // bits of filters that change the bytes' number
  std::uint32_t checksums = 0;     // bits of the checksum filter (adds 4 bytes)
};

Pipeline read_pipeline(const h5::Checker &ck, hid_t dcpl, const std::string &where) {
  Pipeline p;
  p.count = ck.checked(H5Pget_nfilters(dcpl), "cannot inspect " + where);
  if (p.count > 32) {
    ck.fail("signal " + where + " has " + std::to_string(p.count) + " filters");
  }
  for (int i = 0; i < p.count; ++i) {
    unsigned flags = 0;
    std::size_t nelmts = 0;
    const H5Z_filter_t id = H5Pget_filter2(dcpl, static_cast<unsigned>(i), &flags, &nelmts, nullptr,
                                           0, nullptr, nullptr);
    if (id < 0) {
      ck.fail_h5("cannot inspect the compression of " + where);
    }
    if (H5Zfilter_avail(id) <= 0) {
      H5Eclear2(H5E_DEFAULT);
      ck.fail("signal " + where + " needs compression filter " + std::to_string(id) +
              ", which is not available");
    }
    const std::uint32_t bit = std::uint32_t{1} << i;
    if ((flags & H5Z_FLAG_OPTIONAL) != 0) {
      p.optional |= bit;
    }
    if (id == H5Z_FILTER_FLETCHER32) {
      p.checksums |= bit;
    } else if (id != H5Z_FILTER_SHUFFLE) {
      p.size_changing |= bit;
    }
  }
  return p;
}

const char *const never_written = "damaged file: the counts were never written";

// Counts whose storage was never allocated would read as the fill value, whatever it is: they
// are no counts of a run.
void refuse_unwritten(const h5::Checker &ck, hid_t counts) {
  H5D_space_status_t status{};
  if (H5Dget_space_status(counts, &status) >= 0 && status == H5D_SPACE_STATUS_NOT_ALLOCATED) {
    ck.fail(never_written);
  }
  H5Eclear2(H5E_DEFAULT);
}

void validate_contiguous(const h5::Checker &ck, hid_t counts, const std::string &where,
                         const CountsShape &shape, std::uint64_t file_size, bool compact,
                         CountsStorage &out) {
  std::uint64_t needed = shape.file_element;
  for (int i = 0; i < shape.rank; ++i) {
    needed *= shape.dims[static_cast<std::size_t>(i)];
  }
  const hsize_t stored = H5Dget_storage_size(counts);
  H5Eclear2(H5E_DEFAULT);
  if (compact) {
    if (stored != needed) {
      ck.fail("damaged file: the counts " + where + " hold " + std::to_string(stored) +
              " bytes, their shape needs " + std::to_string(needed));
    }
    return;
  }
  const haddr_t address = H5Dget_offset(counts);
  H5Eclear2(H5E_DEFAULT);
  if (address == HADDR_UNDEF || stored == 0) {
    ck.fail(never_written);
  }
  if (stored != needed || !inside_file(address, needed, file_size)) {
    ck.fail("damaged file: the counts " + where + " lie outside the file");
  }
  out.contiguous_address = address;
}

// The index records of every chunk, read by their place in the index: offset, filter mask,
// address and size, without reading a chunk's bytes. Chunks beyond the first period are left
// out. False when a record cannot be read this way.
bool records_by_index(hid_t counts, hid_t space, hsize_t recorded, const CountsShape &shape,
                      CountsStorage &out, std::uint64_t base) {
  const auto r = static_cast<std::size_t>(shape.rank);
  for (hsize_t i = 0; i < recorded; ++i) {
    std::array<hsize_t, 3> offset{};
    unsigned mask = 0;
    haddr_t address = HADDR_UNDEF;
    hsize_t size = 0;
    if (H5Dget_chunk_info(counts, space, i, offset.data(), &mask, &address, &size) < 0) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    std::size_t n = 0;
    bool in_grid = true;
    for (std::size_t d = 0; d < r; ++d) {
      if (offset[d] % out.chunk[d] != 0) {
        return false;
      }
      const hsize_t place = offset[d] / out.chunk[d];
      if (place >= out.grid[d]) {
        in_grid = false; // a later period
        break;
      }
      n = n * out.grid[d] + place;
    }
    if (!in_grid) {
      continue;
    }
    if (size > 0xffffffffU || address == HADDR_UNDEF) {
      return false;
    }
    out.chunks[n] = ChunkRecord{static_cast<std::uint32_t>(size), mask, address + base};
  }
  return true;
}

} // namespace

CountsStorage validate_counts_storage(const h5::Checker &ck, hid_t counts, const std::string &where,
                                      const CountsShape &shape, std::uint64_t file_size,
                                      IndexReading reading) {
  CountsStorage out;
  h5::PropList dcpl(ck.checked(H5Dget_create_plist(counts), "cannot inspect " + where));
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) {
    ck.fail_h5("cannot inspect " + where);
  }
  // The counts of a run must be in the run file: a virtual view of other files may read its
  // fill value for a source that is missing, and storage in external files escapes these checks.
  if (layout == H5D_VIRTUAL) {
    ck.fail("the counts " + where +
            " are a virtual dataset (stored in other files), which is "
            "not read");
  }
  const int external = ck.checked(H5Pget_external_count(dcpl.get()), "cannot inspect " + where);
  if (external > 0) {
    ck.fail("the counts " + where + " are stored in external files, which are not read");
  }
  if (layout != H5D_CHUNKED) {
    if (layout != H5D_COMPACT) {
      refuse_unwritten(ck, counts);
    }
    validate_contiguous(ck, counts, where, shape, file_size, layout == H5D_COMPACT, out);
    return out;
  }

  out.chunked = true;
  refuse_unwritten(ck, counts);
  const Pipeline pipeline = read_pipeline(ck, dcpl.get(), where);
  out.filtered = pipeline.count > 0;
  const auto r = static_cast<std::size_t>(shape.rank);
  ck.checked(H5Pget_chunk(dcpl.get(), shape.rank, out.chunk.data()), "cannot inspect " + where);
  // Chunks along each dimension of what is read (the first period only).
  std::size_t chunk_count = 1;
  out.chunk_bytes = shape.file_element;
  for (std::size_t i = 0; i < r; ++i) {
    if (out.chunk[i] == 0) {
      ck.fail("damaged file: the counts " + where + " have an empty chunk shape");
    }
    const hsize_t extent = (r == 3 && i == 0) ? 1 : shape.dims[i];
    out.grid[i] = (extent + out.chunk[i] - 1) / out.chunk[i];
    chunk_count *= out.grid[i];
    if (out.chunk_bytes > max_chunk_bytes / out.chunk[i]) {
      ck.fail("the counts " + where + " are stored in chunks of more than " + mib(max_chunk_bytes) +
              " each (uncompressed), too large to be read");
    }
    out.chunk_bytes *= out.chunk[i];
    if (chunk_count > max_chunks) {
      ck.fail("the counts " + where + " are stored in more than " + std::to_string(max_chunks) +
              " chunks, too many to be read");
    }
  }
  const hsize_t across = out.grid[r - 1];
  if (out.chunk_bytes * across > max_chunk_bytes) {
    ck.fail("the counts " + where +
            " are stored in chunks whose rows (a chunk's spectra across "
            "all time channels) exceed " +
            mib(max_chunk_bytes) + " uncompressed, too large to be read");
  }
  hsize_t recorded = 0;
  const std::string index_what = "cannot read the chunk index of " + where;
  h5::Dataspace space(ck.checked(H5Dget_space(counts), index_what));
  ck.checked(H5Dget_num_chunks(counts, space.get(), &recorded), index_what);
  std::size_t all_chunks = 1;
  for (std::size_t i = 0; i < r; ++i) {
    all_chunks *= (shape.dims[i] + out.chunk[i] - 1) / out.chunk[i];
  }
  if (recorded > all_chunks) {
    ck.fail("damaged file: the chunk index of " + where + " lists " + std::to_string(recorded) +
            " chunks, the counts have room for " + std::to_string(all_chunks));
  }

  // Every chunk read. Few chunks are read by their place in the index, which gives their filter
  // masks and addresses; more are looked up by their position as the read looks them up (HDF5
  // 1.10 has no single pass over the index, and its lookups by position through the chunk
  // information walk the whole index each time), and their masks come with their stored bytes.
  // Addresses need no check: HDF5 refuses at opening a file shorter than its recorded end, and
  // any read beyond that end fails.
  const std::uint32_t all_filters =
      pipeline.count == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << pipeline.count) - 1;
  out.chunks.resize(chunk_count);
  std::uint64_t base = 0; // chunk addresses are counted from the end of the user block
  {
    const hid_t file = H5Iget_file_id(counts);
    h5::PropList fcpl(file >= 0 ? H5Fget_create_plist(file) : H5I_INVALID_HID);
    hsize_t block = 0;
    if (fcpl && H5Pget_userblock(fcpl.get(), &block) >= 0) {
      base = block;
    }
    if (file >= 0) {
      H5Fclose(file);
    }
    H5Eclear2(H5E_DEFAULT);
  }
  const bool by_index = recorded <= max_chunks_read_by_index &&
                        records_by_index(counts, space.get(), recorded, shape, out, base);
  if (!by_index) {
    std::fill(out.chunks.begin(), out.chunks.end(), ChunkRecord{});
  }
  out.masks_known = by_index || !out.filtered || reading == IndexReading::with_filter_masks;
  std::vector<unsigned char> raw; // the stored bytes of a compressed chunk, for its filter mask
  std::array<hsize_t, 3> index{};
  for (std::size_t n = 0; n < chunk_count; ++n) {
    std::array<hsize_t, 3> offset{};
    for (std::size_t i = 0; i < r; ++i) {
      offset[i] = index[i] * out.chunk[i];
    }
    const std::string what = "damaged file: chunk " + std::to_string(n + 1) + " of " + where;
    hsize_t stored = out.chunks[n].stored_bytes;
    std::uint32_t mask = out.chunks[n].filter_mask;
    if (!by_index) {
      ck.checked(H5Dget_chunk_storage_size(counts, offset.data(), &stored),
                 what + " cannot be found in the chunk index");
    }
    if (stored == 0) {
      ck.fail(never_written);
    }
    const std::uint64_t address = out.chunks[n].address;
    if (stored > file_size || stored > 0xffffffffU ||
        (by_index && !inside_file(address, stored, file_size))) {
      ck.fail(what + " lies outside the file");
    }
    if (out.filtered && !by_index && reading == IndexReading::with_filter_masks) {
      raw.resize(static_cast<std::size_t>(stored));
      ck.checked(H5Dread_chunk(counts, H5P_DEFAULT, offset.data(), &mask, raw.data()),
                 what + " cannot be read");
    }
    if ((mask & ~all_filters) != 0 || (mask & ~pipeline.optional) != 0) {
      ck.fail(what + " skips filters its pipeline cannot skip");
    }
    // Unless a compressing filter was applied, the stored bytes are the counts themselves
    // (plus a 4-byte checksum per checksum filter applied).
    const std::uint32_t applied = all_filters & ~mask;
    if ((applied & pipeline.size_changing) == 0) {
      const auto sums =
          static_cast<std::uint64_t>(__builtin_popcount(applied & pipeline.checksums));
      if (stored != out.chunk_bytes + 4 * sums) {
        ck.fail(what + " holds " + std::to_string(stored) + " bytes, its counts need " +
                std::to_string(out.chunk_bytes + 4 * sums));
      }
    }
    out.chunks[n].stored_bytes = static_cast<std::uint32_t>(stored);
    out.chunks[n].filter_mask = mask;
    for (std::size_t i = r; i-- > 0;) {
      if (++index[i] < out.grid[i]) {
        break;
      }
      index[i] = 0;
    }
  }
  return out;
}

} // namespace bantrisk::dataaccess
