#include "dataaccess/nexus_writer.hpp"

#include "dataaccess/h5_util.hpp"
#include "dataaccess/hdf5_handle.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "lib/output_file.hpp"

namespace bantrisk::dataaccess {

namespace {

using namespace h5;

void write_layout(const std::string &path, const RunFileLayout &layout, const CountsFill &fill);

// Every failure names the file and the cause, as the reader's do: the file being written.
const Checker *current = nullptr;

template <typename T> T checked(T value, const char *what) {
  return current->checked(value, std::string("cannot ") + what);
}
void check(herr_t status, const char *what) {
  checked(status, what);
}
void close(herr_t status, const std::string &what) {
  current->checked(status, "cannot close " + what);
}

// NX_class as a fixed-length ASCII string, as NeXus writers usually store it.
void fixed_string_attr(hid_t obj, const char *name, const std::string &value) {
  Type type(checked(H5Tcopy(H5T_C_S1), "copy a string type"));
  check(H5Tset_size(type.get(), value.size()), "size a string");
  check(H5Tset_strpad(type.get(), H5T_STR_NULLTERM), "pad a string");
  Dataspace space(checked(H5Screate(H5S_SCALAR), "create a dataspace"));
  Attribute attr(checked(H5Acreate2(obj, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                         "create an attribute"));
  check(H5Awrite(attr.get(), type.get(), value.data()), "write an attribute");
  close(attr.close(), std::string("attribute ") + name);
}

// Other names as variable-length UTF-8 strings, scalar or array.
void text_attr(hid_t obj, const char *name, const std::vector<std::string> &values, bool array) {
  Type type(checked(H5Tcopy(H5T_C_S1), "copy a string type"));
  check(H5Tset_size(type.get(), H5T_VARIABLE), "size a string");
  check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "set a character set");
  const hsize_t n = values.size();
  Dataspace space(checked(array ? H5Screate_simple(1, &n, nullptr) : H5Screate(H5S_SCALAR),
                          "create a dataspace"));
  std::vector<const char *> ptrs;
  for (const std::string &v : values)
    ptrs.push_back(v.c_str());
  Attribute attr(checked(H5Acreate2(obj, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                         "create an attribute"));
  check(H5Awrite(attr.get(), type.get(), ptrs.data()), "write an attribute");
  close(attr.close(), std::string("attribute ") + name);
}

Group nx_group(hid_t parent, const char *name, const char *nx_class) {
  Group g(
      checked(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create a group"));
  fixed_string_attr(g.get(), "NX_class", nx_class);
  return g;
}

template <typename T>
void write_vector(hid_t parent, const char *name, hid_t file_type, hid_t memory_type,
                  const std::vector<T> &values) {
  const hsize_t n = values.size();
  Dataspace space(checked(H5Screate_simple(1, &n, nullptr), "create a dataspace"));
  Dataset ds(checked(
      H5Dcreate2(parent, name, file_type, space.get(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
      name));
  check(H5Dwrite(ds.get(), memory_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), name);
  if (std::string(name) == "time_of_flight")
    text_attr(ds.get(), "units", {"microsecond"}, false);
  close(ds.close(), std::string("dataset ") + name);
}

} // namespace

void write_run_file(const std::string &path, const RunFileLayout &layout, const CountsFill &fill) {
  if (layout.spectra < 1 || layout.channels < 1 ||
      layout.boundaries.size() != static_cast<std::size_t>(layout.channels) + 1)
    throw std::runtime_error("run file sizes do not agree");
  // A file whose close failed stays half-open inside HDF5, which then crashes closing it again
  // when the library ends at exit. Everything is closed here, so that ending is not needed.
  H5dont_atexit();
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  // Written through the program's one writer: into a temporary file beside its place, synced
  // and renamed once complete, so that a failed write never leaves a half-written run under the
  // run's name. HDF5 writes the temporary file by its name.
  const Checker ck(path);
  current = &ck;
  int error = 0;
  const auto out = ReplacingFile::create(path, error);
  if (!out)
    ck.fail(std::string("cannot create the file (") + std::strerror(error) + ")");
  write_layout(out->temp_path(), layout, fill);
  if (!out->commit())
    ck.fail(std::string("cannot replace the file (") + std::strerror(out->error()) + ")");
}

namespace {

void write_layout(const std::string &path, const RunFileLayout &layout, const CountsFill &fill) {
  File f(checked(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
                 "create the run file"));
  text_attr(f.get(), "default", {"raw_data_1"}, false);
  Group entry = nx_group(f.get(), "raw_data_1", "NXentry");
  text_attr(entry.get(), "default", {"detector_1"}, false);
  Group data = nx_group(entry.get(), "detector_1", "NXdata");
  text_attr(data.get(), "signal", {"counts"}, false);
  text_attr(data.get(), "axes", {"spectrum_index", "time_of_flight"}, true);

  write_vector(data.get(), "time_of_flight", H5T_IEEE_F32LE, H5T_NATIVE_FLOAT, layout.boundaries);
  std::vector<std::int32_t> index(static_cast<std::size_t>(layout.spectra));
  for (std::int32_t s = 0; s < layout.spectra; ++s)
    index[static_cast<std::size_t>(s)] = s + 1;
  write_vector(data.get(), "spectrum_index", H5T_STD_I32LE, H5T_NATIVE_INT32, index);

  // Counts: chunked, written a slab of whole chunk rows at a time.
  const auto c = static_cast<hsize_t>(layout.channels);
  const hsize_t chunk_rows =
      std::min<hsize_t>(static_cast<hsize_t>(layout.spectra),
                        layout.chunk_spectra > 0 ? static_cast<hsize_t>(layout.chunk_spectra)
                                                 : std::max<hsize_t>(1, (256 * 1024) / (4 * c)));
  const std::array<hsize_t, 2> dims{static_cast<hsize_t>(layout.spectra), c};
  const std::array<hsize_t, 2> chunk{chunk_rows, c};
  PropList dcpl(checked(H5Pcreate(H5P_DATASET_CREATE), "create a property list"));
  check(H5Pset_chunk(dcpl.get(), 2, chunk.data()), "set chunks");
  if (layout.gzip > 0)
    check(H5Pset_deflate(dcpl.get(), static_cast<unsigned>(layout.gzip)), "set compression");
  Dataspace space(checked(H5Screate_simple(2, dims.data(), nullptr), "create a dataspace"));
  Dataset counts(checked(H5Dcreate2(data.get(), "counts", H5T_STD_I32LE, space.get(), H5P_DEFAULT,
                                    dcpl.get(), H5P_DEFAULT),
                         "create counts"));
  text_attr(counts.get(), "units", {"counts"}, false);
  close(dcpl.close(), "a property list");

  const hsize_t slab_rows =
      std::max<hsize_t>(1, (std::size_t{1} << 20) / (4 * c * chunk_rows)) * chunk_rows;
  std::vector<std::int32_t> slab(static_cast<std::size_t>(slab_rows * c));
  for (hsize_t first = 0; first < dims[0]; first += slab_rows) {
    const hsize_t rows = std::min(slab_rows, dims[0] - first);
    fill(static_cast<std::int32_t>(first), static_cast<std::int32_t>(rows), slab.data());
    const std::array<hsize_t, 2> start{first, 0};
    const std::array<hsize_t, 2> count{rows, c};
    check(H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(),
                              nullptr),
          "select spectra");
    Dataspace mem(checked(H5Screate_simple(2, count.data(), nullptr), "create a dataspace"));
    check(
        H5Dwrite(counts.get(), H5T_NATIVE_INT32, mem.get(), space.get(), H5P_DEFAULT, slab.data()),
        "write counts");
    close(mem.close(), "a dataspace");
  }
  close(counts.close(), "dataset counts");
  close(space.close(), "a dataspace");
  close(data.close(), "group detector_1");
  close(entry.close(), "group raw_data_1");
  // Closing the file writes what HDF5 still holds: a full disk or a file-size limit shows here.
  close(f.close(), "the file");
}

} // namespace

} // namespace bantrisk::dataaccess
