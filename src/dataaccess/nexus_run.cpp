// Locating, checking and streaming the counts of a NeXus run file.
#include "dataaccess/nexus_run.hpp"

#include "dataaccess/dataaccess.hpp"
#include "dataaccess/direct_chunks.hpp"
#include "dataaccess/hdf5_handle.hpp"
#include "lib/capacities.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>

namespace bantrisk::dataaccess {

std::string run_file_message(const std::string &path, const std::string &reason) {
  return "** ERROR in run file " + path + " : " + reason;
}

namespace {

// The innermost entry of HDF5's error stack, which names the actual cause (a failed filter, a
// truncated file); empty when the stack is empty. The stack is cleared afterwards.
std::string hdf5_cause() {
  std::string cause;
  auto walk = [](unsigned n, const H5E_error2_t *err, void *data) -> herr_t {
    if (n == 0 && err != nullptr && err->desc != nullptr) {
      *static_cast<std::string *>(data) = err->desc;
    }
    return 0;
  };
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, walk, &cause);
  H5Eclear2(H5E_DEFAULT);
  return cause;
}

std::string trim(std::string_view s) {
  const auto last = s.find_last_not_of(std::string_view(" \t\r\n\0", 5));
  if (last == std::string_view::npos) {
    return {};
  }
  const auto first = s.find_first_not_of(" \t\r\n");
  return std::string(s.substr(first, last - first + 1));
}

// Value of an attribute, whatever its kind: strings (fixed or variable length, ASCII or UTF-8,
// scalar or array) or the first number of a numeric attribute.
struct AttrValue {
  bool present = false;
  std::vector<std::string> strings;
  std::optional<double> number;
};

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

std::size_t ceil_div(std::size_t a, std::size_t b) {
  return (a + b - 1) / b;
}

} // namespace

struct RunFile::State {
  std::string path;
  h5::File file;
  h5::Dataset counts;
  h5::Dataspace file_space;
  int rank = 0;
  int spectra = 0;
  int channels = 0;
  std::vector<float> boundaries;
  std::vector<float> widths;
  ReadPlan plan;
  hid_t mem_type = H5I_INVALID_HID; // a predefined native type: never closed
  // Block geometry: spectra are read in units (one chunk row, or the whole dataset when
  // contiguous); a unit is split into blocks of `block_spectra`, or several units make a block.
  std::int64_t unit = 1;
  std::int64_t block_spectra = 1;
  bool units_per_block = true;
  std::vector<std::int32_t> whole_block;
  std::vector<double> real_block;
  std::int64_t block_first = -1; // first spectrum (0-based) of the loaded block, -1: none
  std::int64_t block_count = 0;
  // Whole-number chunks read as stored, and inflated, on a second thread (null: the library
  // reads them). Last, so it ends before the counts it reads are closed.
  std::unique_ptr<DirectChunks> direct;

  [[noreturn]] void fail(const std::string &reason) const {
    throw RunFileError(run_file_message(path, reason));
  }
  // Fails with the reason and the HDF5 library's own cause, when it gave one.
  [[noreturn]] void fail_h5(const std::string &reason) const {
    const std::string cause = hdf5_cause();
    fail(cause.empty() ? reason : reason + " (" + cause + ")");
  }
  template <typename T> T checked(T value, const std::string &what) const {
    if (value < 0) {
      fail_h5(what);
    }
    return value;
  }

  AttrValue attribute(hid_t obj, const char *name, const std::string &where) const;
  bool is_group_of_class(hid_t parent, const std::string &name, std::string_view nx_class) const;
  std::vector<std::string> children(hid_t group, const std::string &where) const;
  std::optional<std::string> find_child(hid_t group, const std::string &where,
                                        std::string_view nx_class, const char *default_attr,
                                        std::string &chosen_path);
  void open();
  void locate_signal(hid_t data_group, const std::string &data_path);
  void read_boundaries(hid_t data_group, const std::string &data_path,
                       const std::vector<std::string> &group_axes, const std::string &signal_name);
  void plan_reading(hid_t data_group, const std::string &signal_name);
  void load_block(std::int64_t s0);
};

AttrValue RunFile::State::attribute(hid_t obj, const char *name, const std::string &where) const {
  AttrValue out;
  const htri_t exists = H5Aexists(obj, name);
  if (exists < 0) {
    fail_h5("cannot look up attribute '" + std::string(name) + "' of " + where);
  }
  if (exists == 0) {
    return out;
  }
  out.present = true;
  const std::string what = "cannot read attribute '" + std::string(name) + "' of " + where;
  h5::Attribute attr(checked(H5Aopen(obj, name, H5P_DEFAULT), what));
  h5::Type type(checked(H5Aget_type(attr.get()), what));
  h5::Dataspace space(checked(H5Aget_space(attr.get()), what));
  const hssize_t n = checked(H5Sget_simple_extent_npoints(space.get()), what);
  if (n <= 0) {
    return out;
  }
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls == H5T_STRING) {
    const H5T_cset_t cset = H5Tget_cset(type.get());
    h5::Type mem(checked(H5Tcopy(H5T_C_S1), what));
    checked(H5Tset_cset(mem.get(), cset), what);
    const htri_t variable = checked(H5Tis_variable_str(type.get()), what);
    if (variable > 0) {
      checked(H5Tset_size(mem.get(), H5T_VARIABLE), what);
      std::vector<char *> ptrs(static_cast<std::size_t>(n), nullptr);
      checked(H5Aread(attr.get(), mem.get(), ptrs.data()), what);
      for (char *p : ptrs) {
        out.strings.push_back(trim(p != nullptr ? std::string_view(p) : std::string_view()));
      }
#if H5_VERSION_GE(1, 12, 0)
      H5Treclaim(mem.get(), space.get(), H5P_DEFAULT, ptrs.data());
#else
      H5Dvlen_reclaim(mem.get(), space.get(), H5P_DEFAULT, ptrs.data());
#endif
    } else {
      const std::size_t size = H5Tget_size(type.get());
      if (size == 0) {
        fail_h5(what);
      }
      checked(H5Tset_size(mem.get(), size), what);
      checked(H5Tset_strpad(mem.get(), H5T_STR_NULLPAD), what);
      std::vector<char> raw(size * static_cast<std::size_t>(n), '\0');
      checked(H5Aread(attr.get(), mem.get(), raw.data()), what);
      for (hssize_t i = 0; i < n; ++i) {
        std::string_view item(raw.data() + static_cast<std::size_t>(i) * size, size);
        item = item.substr(0, std::min(item.find('\0'), item.size()));
        out.strings.push_back(trim(item));
      }
    }
  } else if (cls == H5T_INTEGER || cls == H5T_FLOAT) {
    std::vector<double> values(static_cast<std::size_t>(n));
    checked(H5Aread(attr.get(), H5T_NATIVE_DOUBLE, values.data()), what);
    out.number = values.front();
  }
  return out;
}

// Names of the links of a group in name order.
std::vector<std::string> RunFile::State::children(hid_t group, const std::string &where) const {
  H5G_info_t info;
  checked(H5Gget_info(group, &info), "cannot list " + where);
  std::vector<std::string> names;
  for (hsize_t i = 0; i < info.nlinks; ++i) {
    const ssize_t len = checked(
        H5Lget_name_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT),
        "cannot list " + where);
    std::string name(static_cast<std::size_t>(len) + 1, '\0');
    checked(H5Lget_name_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(), name.size(),
                               H5P_DEFAULT),
            "cannot list " + where);
    name.resize(static_cast<std::size_t>(len));
    names.push_back(std::move(name));
  }
  return names;
}

// True when `name` leads from `parent` to a group whose NX_class is `nx_class`. A link that
// leads nowhere (dangling, external file missing) is simply not such a group.
bool RunFile::State::is_group_of_class(hid_t parent, const std::string &name,
                                       std::string_view nx_class) const {
  if (name.empty() || H5Lexists(parent, name.c_str(), H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  h5::Object obj(H5Oopen(parent, name.c_str(), H5P_DEFAULT));
  if (!obj || H5Iget_type(obj.get()) != H5I_GROUP) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  const AttrValue cls = attribute(obj.get(), "NX_class", "group " + name);
  return !cls.strings.empty() && cls.strings.front() == nx_class;
}

// The child group of class `nx_class` named by the group's default attribute, else the first
// such group in name order.
std::optional<std::string> RunFile::State::find_child(hid_t group, const std::string &where,
                                                      std::string_view nx_class,
                                                      const char *default_attr,
                                                      std::string &chosen_path) {
  const AttrValue preferred = attribute(group, default_attr, where);
  std::optional<std::string> chosen;
  if (!preferred.strings.empty() && is_group_of_class(group, preferred.strings.front(), nx_class)) {
    chosen = preferred.strings.front();
  } else {
    for (const std::string &name : children(group, where)) {
      if (is_group_of_class(group, name, nx_class)) {
        chosen = name;
        break;
      }
    }
  }
  if (chosen) {
    chosen_path = (where == "/" ? "" : where) + "/" + *chosen;
  }
  return chosen;
}

void RunFile::State::open() {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    fail("file not found");
  }
  if (!std::filesystem::is_regular_file(status)) {
    fail("not a regular file");
  }
  const htri_t is_hdf5 = H5Fis_hdf5(path.c_str());
  if (is_hdf5 < 0) {
    fail_h5("cannot read the file");
  }
  if (is_hdf5 == 0) {
    fail("not an HDF5 (NeXus) file");
  }
  h5::PropList fapl(checked(H5Pcreate(H5P_FILE_ACCESS), "cannot open the file"));
#if H5_VERSION_GE(1, 10, 7)
  // Reading needs no lock, and locks fail on some network and read-only file systems.
  checked(H5Pset_file_locking(fapl.get(), false, true), "cannot open the file");
#endif
  file.reset(checked(H5Fopen(path.c_str(), H5F_ACC_RDONLY, fapl.get()), "cannot open the file"));

  h5::Group root(checked(H5Gopen2(file.get(), "/", H5P_DEFAULT), "cannot open the root group"));
  std::string entry_path;
  const auto entry_name = find_child(root.get(), "/", "NXentry", "default", entry_path);
  if (!entry_name) {
    fail("no NXentry group");
  }
  h5::Group entry(checked(H5Gopen2(root.get(), entry_name->c_str(), H5P_DEFAULT),
                          "cannot open group " + entry_path));
  std::string data_path;
  const auto data_name = find_child(entry.get(), entry_path, "NXdata", "default", data_path);
  if (!data_name) {
    fail("no NXdata group in " + entry_path);
  }
  h5::Group data(checked(H5Gopen2(entry.get(), data_name->c_str(), H5P_DEFAULT),
                         "cannot open group " + data_path));
  locate_signal(data.get(), data_path);
}

void RunFile::State::locate_signal(hid_t data_group, const std::string &data_path) {
  auto is_dataset = [&](const std::string &name) {
    if (name.empty() || H5Lexists(data_group, name.c_str(), H5P_DEFAULT) <= 0) {
      H5Eclear2(H5E_DEFAULT);
      return false;
    }
    h5::Object obj(H5Oopen(data_group, name.c_str(), H5P_DEFAULT));
    H5Eclear2(H5E_DEFAULT);
    return obj && H5Iget_type(obj.get()) == H5I_DATASET;
  };

  // Current convention: the group names its signal; older files mark the dataset with signal=1.
  std::string signal_name;
  const AttrValue named = attribute(data_group, "signal", "group " + data_path);
  if (!named.strings.empty() && !named.strings.front().empty()) {
    signal_name = named.strings.front();
    if (!is_dataset(signal_name)) {
      fail("signal dataset '" + signal_name + "' named by " + data_path + " not found");
    }
  } else {
    for (const std::string &name : children(data_group, "group " + data_path)) {
      if (!is_dataset(name)) {
        continue;
      }
      h5::Dataset ds(checked(H5Dopen2(data_group, name.c_str(), H5P_DEFAULT),
                             "cannot open dataset " + data_path + "/" + name));
      const AttrValue mark = attribute(ds.get(), "signal", "dataset " + data_path + "/" + name);
      if ((mark.number && *mark.number == 1.0) ||
          (!mark.strings.empty() && mark.strings.front() == "1")) {
        signal_name = name;
        break;
      }
    }
    if (signal_name.empty()) {
      fail("no signal dataset in " + data_path);
    }
  }
  plan.signal_path = data_path + "/" + signal_name;

  h5::Dataset probe(checked(H5Dopen2(data_group, signal_name.c_str(), H5P_DEFAULT),
                            "cannot open dataset " + plan.signal_path));
  h5::Dataspace space(
      checked(H5Dget_space(probe.get()), "cannot read the shape of " + plan.signal_path));
  rank = checked(H5Sget_simple_extent_ndims(space.get()),
                 "cannot read the shape of " + plan.signal_path);
  if (rank != 2 && rank != 3) {
    fail("signal " + plan.signal_path + " has rank " + std::to_string(rank) +
         " (expected [spectra, channels] or [periods, spectra, channels])");
  }
  std::array<hsize_t, 3> dims{};
  checked(H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr),
          "cannot read the shape of " + plan.signal_path);
  if (rank == 3 && dims[0] == 0) {
    fail("signal " + plan.signal_path + " has no periods");
  }
  const hsize_t n_spectra = dims[static_cast<std::size_t>(rank) - 2];
  const hsize_t n_channels = dims[static_cast<std::size_t>(rank) - 1];
  if (n_spectra == 0) {
    fail("signal " + plan.signal_path + " has no spectra");
  }
  if (n_spectra > static_cast<hsize_t>(max_spectra)) {
    fail("signal " + plan.signal_path + " has " + std::to_string(n_spectra) +
         " spectra, more than " + std::to_string(max_spectra));
  }
  if (n_channels == 0) {
    fail("signal " + plan.signal_path + " has no time channels");
  }
  if (n_channels + 1 > static_cast<hsize_t>(max_channel_values)) {
    fail("signal " + plan.signal_path + " has " + std::to_string(n_channels) +
         " time channels, more than " + std::to_string(max_channel_values - 1));
  }
  spectra = static_cast<int>(n_spectra);
  channels = static_cast<int>(n_channels);

  h5::Type type(checked(H5Dget_type(probe.get()), "cannot read the type of " + plan.signal_path));
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
    fail("signal " + plan.signal_path + " does not hold numbers");
  }
  // Whole numbers that fit 32 bits are read as such (no conversion for the usual int32 counts);
  // everything else (reals, 64-bit and unsigned 32-bit counts) as double precision.
  const std::size_t size = H5Tget_size(type.get());
  const bool is_signed = H5Tget_sign(type.get()) == H5T_SGN_2;
  plan.whole_numbers = cls == H5T_INTEGER && (size < 4 || (size == 4 && is_signed));
  mem_type = plan.whole_numbers ? H5T_NATIVE_INT32 : H5T_NATIVE_DOUBLE;

  // The counts are opened again for reading with their own chunk cache, which HDF5 applies only
  // when no other handle holds the dataset open.
  type.reset();
  space.reset();
  probe.reset();

  const AttrValue axes = attribute(data_group, "axes", "group " + data_path);
  std::vector<std::string> group_axes = axes.strings;
  read_boundaries(data_group, data_path, group_axes, signal_name);
  plan_reading(data_group, signal_name);
}

namespace {
// Splits an axes list written as one string ("a:b", "a,b", "[a, b]") into names.
std::vector<std::string> split_axes(const std::vector<std::string> &items) {
  std::vector<std::string> names;
  for (const std::string &item : items) {
    std::string current;
    for (char c : item) {
      if (c == ':' || c == ',') {
        names.push_back(trim(current));
        current.clear();
      } else if (c != '[' && c != ']') {
        current += c;
      }
    }
    names.push_back(trim(current));
  }
  return names;
}
} // namespace

void RunFile::State::read_boundaries(hid_t data_group, const std::string &data_path,
                                     const std::vector<std::string> &group_axes,
                                     const std::string &signal_name) {
  // The channel axis is the last axis of the signal.
  std::string axis_name;
  std::string source;
  if (const auto names = split_axes(group_axes);
      !names.empty() && names.back() != "." && !names.back().empty()) {
    axis_name = names.back();
    source = "the axes of " + data_path;
  } else {
    h5::Dataset signal(checked(H5Dopen2(data_group, signal_name.c_str(), H5P_DEFAULT),
                               "cannot open dataset " + plan.signal_path));
    const AttrValue own = attribute(signal.get(), "axes", "dataset " + plan.signal_path);
    const auto own_names = split_axes(own.strings);
    if (!own_names.empty() && own_names.back() != "." && !own_names.back().empty()) {
      axis_name = own_names.back();
      source = "the axes of " + plan.signal_path;
    } else {
      axis_name = "time_of_flight";
      source = "default name";
    }
  }
  plan.boundaries_path = data_path + "/" + axis_name;
  const std::string &bpath = plan.boundaries_path;

  if (H5Lexists(data_group, axis_name.c_str(), H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    fail("time-channel boundaries " + bpath + " (" + source + ") not found");
  }
  h5::Object obj(H5Oopen(data_group, axis_name.c_str(), H5P_DEFAULT));
  if (!obj || H5Iget_type(obj.get()) != H5I_DATASET) {
    H5Eclear2(H5E_DEFAULT);
    fail("time-channel boundaries " + bpath + " are not a dataset");
  }
  obj.reset();
  h5::Dataset ds(checked(H5Dopen2(data_group, axis_name.c_str(), H5P_DEFAULT),
                         "cannot open dataset " + bpath));
  h5::Dataspace space(checked(H5Dget_space(ds.get()), "cannot read the shape of " + bpath));
  const int brank =
      checked(H5Sget_simple_extent_ndims(space.get()), "cannot read the shape of " + bpath);
  hsize_t length = 0;
  if (brank == 1) {
    checked(H5Sget_simple_extent_dims(space.get(), &length, nullptr),
            "cannot read the shape of " + bpath);
  }
  if (brank != 1 || length != static_cast<hsize_t>(channels) + 1) {
    const std::string shape =
        brank == 1 ? std::to_string(length) + " values" : "rank " + std::to_string(brank);
    fail("time-channel boundaries " + bpath + " have " + shape + ", expected " +
         std::to_string(channels + 1) + " (time channels + 1)");
  }
  h5::Type type(checked(H5Dget_type(ds.get()), "cannot read the type of " + bpath));
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
    fail("time-channel boundaries " + bpath + " do not hold numbers");
  }
  boundaries.assign(length, 0.0F);
  checked(H5Dread(ds.get(), H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, boundaries.data()),
          "cannot read time-channel boundaries " + bpath);
  // Widths are formed in single precision, as the integration forms them, and must be usable
  // divisors: finite and above zero.
  widths.assign(static_cast<std::size_t>(channels), 0.0F);
  for (std::size_t i = 0; i < boundaries.size(); ++i) {
    if (!std::isfinite(boundaries[i])) {
      fail("time-channel boundary " + std::to_string(i + 1) + " of " + bpath + " is not finite");
    }
    if (i > 0) {
      const float width = boundaries[i] - boundaries[i - 1];
      if (!(width > 0.0F) || !std::isfinite(width)) {
        fail("time-channel boundaries " + bpath + " are not strictly increasing at boundary " +
             std::to_string(i + 1));
      }
      widths[i - 1] = width;
    }
  }
}

void RunFile::State::plan_reading(hid_t data_group, const std::string &signal_name) {
  const std::string &spath = plan.signal_path;
  h5::Dataset probe(checked(H5Dopen2(data_group, signal_name.c_str(), H5P_DEFAULT),
                            "cannot open dataset " + spath));
  h5::PropList dcpl(checked(H5Dget_create_plist(probe.get()), "cannot inspect " + spath));
  const H5D_layout_t layout = H5Pget_layout(dcpl.get());
  if (layout < 0) {
    fail_h5("cannot inspect " + spath);
  }
  h5::Type type(checked(H5Dget_type(probe.get()), "cannot read the type of " + spath));
  const std::size_t file_elem = H5Tget_size(type.get());
  const std::size_t mem_elem = plan.whole_numbers ? sizeof(std::int32_t) : sizeof(double);
  const std::size_t row_bytes = static_cast<std::size_t>(channels) * mem_elem;
  const auto target_rows =
      static_cast<std::int64_t>(std::max<std::size_t>(1, block_target_bytes / row_bytes));

  plan.chunked = layout == H5D_CHUNKED;
  std::size_t cache_bytes = 0;
  std::size_t cache_chunks = 0;
  if (plan.chunked) {
    std::array<hsize_t, 3> chunk{};
    checked(H5Pget_chunk(dcpl.get(), rank, chunk.data()), "cannot inspect " + spath);
    const int nfilters = checked(H5Pget_nfilters(dcpl.get()), "cannot inspect " + spath);
    plan.filtered = nfilters > 0;
    for (int i = 0; i < nfilters; ++i) {
      unsigned flags = 0;
      std::size_t nelmts = 0;
      std::array<char, 64> name{};
      const H5Z_filter_t id = H5Pget_filter2(dcpl.get(), static_cast<unsigned>(i), &flags, &nelmts,
                                             nullptr, name.size(), name.data(), nullptr);
      if (id < 0) {
        fail_h5("cannot inspect the compression of " + spath);
      }
      if (H5Zfilter_avail(id) <= 0) {
        H5Eclear2(H5E_DEFAULT);
        fail("signal " + spath + " needs compression filter " + std::to_string(id) +
             ", which is not available");
      }
    }
    const auto r = static_cast<std::size_t>(rank);
    const std::int64_t chunk_rows = static_cast<std::int64_t>(chunk[r - 2]);
    std::size_t chunk_bytes = file_elem;
    for (std::size_t i = 0; i < r; ++i) {
      chunk_bytes *= chunk[i];
    }
    const std::size_t chunks_across = ceil_div(static_cast<std::size_t>(channels), chunk[r - 1]);
    unit = chunk_rows;
    plan.chunk_spectra = chunk_rows;
    if (chunk_rows <= target_rows) {
      // Several whole chunk rows make one block: every chunk is read exactly once.
      units_per_block = true;
      block_spectra = (target_rows / chunk_rows) * chunk_rows;
      cache_chunks = static_cast<std::size_t>(block_spectra / chunk_rows) * chunks_across;
    } else {
      // Chunks taller than a block: a chunk row is read in several blocks that never straddle
      // two chunk rows, and the cache keeps the chunk row so it is decompressed only once.
      units_per_block = false;
      const std::int64_t parts = (chunk_rows + target_rows - 1) / target_rows;
      block_spectra = (chunk_rows + parts - 1) / parts;
      cache_chunks = chunks_across;
    }
    // Uncompressed chunks are copied straight from the file into the block (no cache, no extra
    // copy); compressed ones go through a cache that holds what one block touches.
    // A chunk row taller than a block is kept whole whatever its size: HDF5 holds a whole
    // chunk to decompress it anyway, and a smaller cache would decompress it once per block.
    if (plan.filtered) {
      cache_bytes = units_per_block ? std::min(cache_chunks * chunk_bytes, chunk_cache_limit_bytes)
                                    : cache_chunks * chunk_bytes;
    }
  } else {
    unit = 1;
    units_per_block = true;
    block_spectra = target_rows;
  }
  block_spectra = std::min<std::int64_t>(block_spectra, spectra);
  plan.block_spectra = block_spectra;
  plan.block_bytes = static_cast<std::size_t>(block_spectra) * row_bytes;
  plan.chunk_cache_bytes = cache_bytes;
  probe.reset();

  h5::PropList dapl(checked(H5Pcreate(H5P_DATASET_ACCESS), "cannot open " + spath));
  const int slots = next_prime(static_cast<int>(std::max<std::size_t>(101, 10 * cache_chunks)));
  checked(H5Pset_chunk_cache(dapl.get(), static_cast<std::size_t>(slots), cache_bytes, 1.0),
          "cannot set the chunk cache of " + spath);
  counts.reset(checked(H5Dopen2(data_group, signal_name.c_str(), dapl.get()),
                       "cannot open dataset " + spath));
  file_space.reset(checked(H5Dget_space(counts.get()), "cannot read the shape of " + spath));
  h5::PropList applied(checked(H5Dget_access_plist(counts.get()), "cannot open " + spath));
  std::size_t applied_slots = 0;
  checked(H5Pget_chunk_cache(applied.get(), &applied_slots, &plan.cache_in_effect, nullptr),
          "cannot read the chunk cache of " + spath);
  if (plan.whole_numbers) {
    whole_block.assign(static_cast<std::size_t>(block_spectra) * channels, 0);
    if (plan.chunked && units_per_block) {
      direct = DirectChunks::open_if_suited(
          counts.get(), ChunkGeometry{rank, spectra, channels, unit, block_spectra});
      plan.direct_chunks = direct != nullptr;
    }
  } else {
    real_block.assign(static_cast<std::size_t>(block_spectra) * channels, 0.0);
  }
}

void RunFile::State::load_block(std::int64_t s0) {
  std::int64_t first = 0;
  std::int64_t end = 0;
  if (units_per_block) {
    first = (s0 / block_spectra) * block_spectra;
    end = first + block_spectra;
  } else {
    const std::int64_t unit_first = (s0 / unit) * unit;
    first = unit_first + ((s0 - unit_first) / block_spectra) * block_spectra;
    end = std::min(first + block_spectra, unit_first + unit);
  }
  end = std::min<std::int64_t>(end, spectra);
  const std::int64_t count = end - first;

  const std::string what = "cannot read spectra " + std::to_string(first + 1) + " to " +
                           std::to_string(end) + " of " + plan.signal_path;
  std::array<hsize_t, 3> start{};
  std::array<hsize_t, 3> extent{};
  const auto r = static_cast<std::size_t>(rank);
  if (rank == 3) {
    start[0] = 0; // first period
    extent[0] = 1;
  }
  start[r - 2] = static_cast<hsize_t>(first);
  extent[r - 2] = static_cast<hsize_t>(count);
  start[r - 1] = 0;
  extent[r - 1] = static_cast<hsize_t>(channels);
  checked(H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                              extent.data(), nullptr),
          what);
  const std::array<hsize_t, 2> mem_dims{static_cast<hsize_t>(count),
                                        static_cast<hsize_t>(channels)};
  h5::Dataspace mem_space(checked(H5Screate_simple(2, mem_dims.data(), nullptr), what));
  void *buffer = plan.whole_numbers ? static_cast<void *>(whole_block.data())
                                    : static_cast<void *>(real_block.data());
  // A failed read leaves no block loaded, so a retry reads again instead of using stale data.
  block_first = -1;
  if (direct && direct->load(first, count, whole_block)) {
    block_first = first;
    block_count = count;
    return;
  }
  checked(H5Dread(counts.get(), mem_type, mem_space.get(), file_space.get(), H5P_DEFAULT, buffer),
          what);
  block_first = first;
  block_count = count;
}

RunFile::RunFile(std::string path) : st_(std::make_unique<State>()) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  st_->path = std::move(path);
  st_->open();
}

RunFile::~RunFile() = default;

const std::string &RunFile::path() const {
  return st_->path;
}
int RunFile::spectra() const {
  return st_->spectra;
}
int RunFile::channels() const {
  return st_->channels;
}
const std::vector<float> &RunFile::boundaries() const {
  return st_->boundaries;
}
const ReadPlan &RunFile::plan() const {
  return st_->plan;
}

void RunFile::load(int s) {
  if (s < 1 || s > st_->spectra) {
    st_->fail("spectrum " + std::to_string(s) + " outside 1.." + std::to_string(st_->spectra));
  }
  const std::int64_t s0 = s - 1;
  if (st_->block_first < 0 || s0 < st_->block_first || s0 >= st_->block_first + st_->block_count) {
    st_->load_block(s0);
  }
}

namespace {
// Counts divided by the single-precision widths, in double precision: multiplying back by the
// same width gives the counts again (exactly, for whole counts up to 2^24 after rounding to
// single precision).
template <typename T>
void divide(const T *counts, const float *widths, int from, int to, double *dest) {
  for (int i = from; i < to; ++i) {
    dest[i - from] = static_cast<double>(counts[i]) / static_cast<double>(widths[i]);
  }
}
// The usual whole counts, also built for processors with wider vector division: a division is
// correctly rounded whatever instructions form it, so both give the same values.
__attribute__((target_clones("avx2", "default"))) void
divide_whole(const std::int32_t *counts, const float *widths, int from, int to, double *dest) {
  for (int i = from; i < to; ++i) {
    dest[i - from] = static_cast<double>(counts[i]) / static_cast<double>(widths[i]);
  }
}
} // namespace

std::span<const std::int32_t> RunFile::whole_counts(int s) const {
  const std::int64_t s0 = s - 1;
  if (!st_->plan.whole_numbers || st_->block_first < 0 || s0 < st_->block_first ||
      s0 >= st_->block_first + st_->block_count) {
    return {};
  }
  const auto n = static_cast<std::size_t>(st_->channels);
  return {st_->whole_block.data() + static_cast<std::size_t>(s0 - st_->block_first) * n, n};
}

void RunFile::values(int s, int first, int count, double *dest) {
  load(s);
  const int n = st_->channels;
  if (first < 1 || count < 0 || first - 1 + count > n + 1) {
    st_->fail("channel values " + std::to_string(first) + " to " +
              std::to_string(first - 1 + count) + " asked, the run has " + std::to_string(n) +
              " time channels");
  }
  const std::size_t row =
      static_cast<std::size_t>(s - 1 - st_->block_first) * static_cast<std::size_t>(n);
  const int from = first - 1;
  const int to = std::min(first - 1 + count, n);
  if (to > from) {
    if (st_->plan.whole_numbers) {
      divide_whole(st_->whole_block.data() + row, st_->widths.data(), from, to, dest);
    } else {
      divide(st_->real_block.data() + row, st_->widths.data(), from, to, dest);
    }
  }
  // Element channels+1 has no channel.
  for (int k = std::max(to, from); k < first - 1 + count; ++k) {
    dest[k - from] = 0.0;
  }
}

} // namespace bantrisk::dataaccess
