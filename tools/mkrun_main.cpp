// bantrisk-mkrun: writes a synthetic NeXus run of the 98-module instrument with planted faults,
// its spectra file and spectrum file list, and a summary of what was planted.
#include "mkrun_plan.hpp"

#include "lib/detector_numbering.hpp"

#include <hdf5.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace bantrisk::mkrun;

const char *const usage = R"(Usage: bantrisk-mkrun --spectra N --channels C [options]

Writes a synthetic run of the 98-module instrument into a folder:
  <run file>         NeXus (HDF5) run: int32 counts [N, C] in /raw_data_1/detector_1/counts,
                     float32 time-of-flight boundaries (C + 1) beside them
  <spectra file>     detector code and spectrum number of every spectrum
  specfile.dat       spectrum file list naming the spectra file for N spectra
  <summary file>     what was planted: empty spectra, dead modules, low/high modules and spectra

Options:
  --spectra N          number of spectra, 1 to 20000 (required)
  --channels C         number of time channels, 1 to 9999 (required)
  --seed S             seed of the run's variations (default 1)
  --dir DIR            folder of the files (default: current folder; created if missing)
  --run-file NAME      name of the run file (default KRV01234.RAW)
  --spectra-file NAME  name of the spectra file (default spectra_N.dat)
  --summary NAME       name of the summary file (default planted.txt)
  --integrals NAME     also write every spectrum's total counts, one "spectrum total" a line
  --mean-counts M      average counts of a spectrum (default 10000)
  --chunk-spectra K    spectra per chunk of the counts (default: chunks of about 256 KiB)
  --gzip [LEVEL]       compress the counts (deflate, level 1 to 9, default 4)
  --help               this text
)";

struct Options {
  int spectra = 0;
  int channels = 0;
  std::uint64_t seed = 1;
  std::filesystem::path dir = ".";
  std::string run_file = "KRV01234.RAW";
  std::string spectra_file;
  std::string summary_file = "planted.txt";
  std::string integrals_file;
  double mean_counts = 10000.0;
  int chunk_spectra = 0;
  int gzip = 0;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <typename T> T number(std::string_view option, std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    throw UsageError("bad value '" + std::string(text) + "' for " + std::string(option));
  }
  return value;
}

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) {
        throw UsageError("missing value for " + std::string(arg));
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      std::exit(0);
    } else if (arg == "--spectra") {
      o.spectra = number<int>(arg, value());
    } else if (arg == "--channels") {
      o.channels = number<int>(arg, value());
    } else if (arg == "--seed") {
      o.seed = number<std::uint64_t>(arg, value());
    } else if (arg == "--dir") {
      o.dir = std::string(value());
    } else if (arg == "--run-file") {
      o.run_file = value();
    } else if (arg == "--spectra-file") {
      o.spectra_file = value();
    } else if (arg == "--summary") {
      o.summary_file = value();
    } else if (arg == "--integrals") {
      o.integrals_file = value();
    } else if (arg == "--mean-counts") {
      o.mean_counts = number<double>(arg, value());
    } else if (arg == "--chunk-spectra") {
      o.chunk_spectra = number<int>(arg, value());
    } else if (arg == "--gzip") {
      o.gzip = 4;
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        o.gzip = number<int>(arg, value());
      }
      if (o.gzip < 1 || o.gzip > 9) {
        throw UsageError("--gzip level must be 1 to 9");
      }
    } else {
      throw UsageError("unknown option " + std::string(arg));
    }
  }
  if (o.spectra == 0 || o.channels == 0) {
    throw UsageError("--spectra and --channels are required");
  }
  if (o.spectra_file.empty()) {
    o.spectra_file = "spectra_" + std::to_string(o.spectra) + ".dat";
  }
  if (o.chunk_spectra < 0) {
    throw UsageError("--chunk-spectra must be positive");
  }
  return o;
}

// HDF5 identifiers closed on scope exit; every call is checked.
template <herr_t (*Close)(hid_t)> struct Id {
  hid_t id;
  explicit Id(hid_t v, const char *what) : id(v) {
    if (v < 0) {
      throw std::runtime_error(std::string("HDF5: cannot ") + what);
    }
  }
  ~Id() { Close(id); }
  Id(const Id &) = delete;
  Id &operator=(const Id &) = delete;
};
using File = Id<H5Fclose>;
using Group = Id<H5Gclose>;
using Dataset = Id<H5Dclose>;
using Space = Id<H5Sclose>;
using Attr = Id<H5Aclose>;
using Type = Id<H5Tclose>;
using Plist = Id<H5Pclose>;

void check(herr_t status, const char *what) {
  if (status < 0) {
    throw std::runtime_error(std::string("HDF5: cannot ") + what);
  }
}

// NX_class as a fixed-length ASCII string, as NeXus writers usually store it.
void fixed_string_attr(hid_t obj, const char *name, const std::string &value) {
  Type type(H5Tcopy(H5T_C_S1), "copy a string type");
  check(H5Tset_size(type.id, value.size()), "size a string");
  check(H5Tset_strpad(type.id, H5T_STR_NULLTERM), "pad a string");
  Space space(H5Screate(H5S_SCALAR), "create a dataspace");
  Attr attr(H5Acreate2(obj, name, type.id, space.id, H5P_DEFAULT, H5P_DEFAULT),
            "create an attribute");
  check(H5Awrite(attr.id, type.id, value.data()), "write an attribute");
}

// Other names as variable-length UTF-8 strings, scalar or array.
void text_attr(hid_t obj, const char *name, const std::vector<std::string> &values, bool array) {
  Type type(H5Tcopy(H5T_C_S1), "copy a string type");
  check(H5Tset_size(type.id, H5T_VARIABLE), "size a string");
  check(H5Tset_cset(type.id, H5T_CSET_UTF8), "set a character set");
  const hsize_t n = values.size();
  Space space(array ? H5Screate_simple(1, &n, nullptr) : H5Screate(H5S_SCALAR),
              "create a dataspace");
  std::vector<const char *> ptrs;
  for (const std::string &v : values) {
    ptrs.push_back(v.c_str());
  }
  Attr attr(H5Acreate2(obj, name, type.id, space.id, H5P_DEFAULT, H5P_DEFAULT),
            "create an attribute");
  check(H5Awrite(attr.id, type.id, ptrs.data()), "write an attribute");
}

Group nx_group(hid_t parent, const char *name, const char *nx_class) {
  Group g(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create a group");
  fixed_string_attr(g.id, "NX_class", nx_class);
  return Group(H5Gopen2(parent, name, H5P_DEFAULT), "open a group");
}

// Boundaries spaced evenly in logarithm (constant dt/t), from 1000 to 20000 microseconds: the
// channels widen along the run, as on the instrument.
std::vector<float> boundaries(int channels) {
  std::vector<float> b(static_cast<std::size_t>(channels) + 1);
  for (int i = 0; i <= channels; ++i) {
    b[i] = static_cast<float>(1000.0 * std::pow(20.0, static_cast<double>(i) / channels));
  }
  return b;
}

void write_run(const Options &o, const Plan &plan, const std::filesystem::path &file) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  File f(H5Fcreate(file.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT),
         "create the run file");
  text_attr(f.id, "default", {"raw_data_1"}, false);
  Group entry = nx_group(f.id, "raw_data_1", "NXentry");
  text_attr(entry.id, "default", {"detector_1"}, false);
  Group data = nx_group(entry.id, "detector_1", "NXdata");
  text_attr(data.id, "signal", {"counts"}, false);
  text_attr(data.id, "axes", {"spectrum_index", "time_of_flight"}, true);

  const std::vector<float> tof = boundaries(o.channels);
  {
    const hsize_t n = tof.size();
    Space space(H5Screate_simple(1, &n, nullptr), "create a dataspace");
    Dataset ds(H5Dcreate2(data.id, "time_of_flight", H5T_IEEE_F32LE, space.id, H5P_DEFAULT,
                          H5P_DEFAULT, H5P_DEFAULT),
               "create time_of_flight");
    check(H5Dwrite(ds.id, H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, tof.data()),
          "write time_of_flight");
    text_attr(ds.id, "units", {"microsecond"}, false);
  }
  {
    std::vector<std::int32_t> index(static_cast<std::size_t>(o.spectra));
    for (int s = 0; s < o.spectra; ++s) {
      index[s] = s + 1;
    }
    const hsize_t n = index.size();
    Space space(H5Screate_simple(1, &n, nullptr), "create a dataspace");
    Dataset ds(H5Dcreate2(data.id, "spectrum_index", H5T_STD_I32LE, space.id, H5P_DEFAULT,
                          H5P_DEFAULT, H5P_DEFAULT),
               "create spectrum_index");
    check(H5Dwrite(ds.id, H5T_NATIVE_INT32, H5S_ALL, H5S_ALL, H5P_DEFAULT, index.data()),
          "write spectrum_index");
  }

  // Counts: chunked, written a slab of whole chunk rows at a time.
  const hsize_t c = static_cast<hsize_t>(o.channels);
  const hsize_t chunk_rows = std::min<hsize_t>(
      static_cast<hsize_t>(o.spectra),
      o.chunk_spectra > 0 ? static_cast<hsize_t>(o.chunk_spectra)
                          : std::max<hsize_t>(1, (256 * 1024) / (4 * c)));
  const std::array<hsize_t, 2> dims{static_cast<hsize_t>(o.spectra), c};
  const std::array<hsize_t, 2> chunk{chunk_rows, c};
  Plist dcpl(H5Pcreate(H5P_DATASET_CREATE), "create a property list");
  check(H5Pset_chunk(dcpl.id, 2, chunk.data()), "set chunks");
  if (o.gzip > 0) {
    check(H5Pset_deflate(dcpl.id, static_cast<unsigned>(o.gzip)), "set compression");
  }
  Space space(H5Screate_simple(2, dims.data(), nullptr), "create a dataspace");
  Dataset counts(H5Dcreate2(data.id, "counts", H5T_STD_I32LE, space.id, H5P_DEFAULT, dcpl.id,
                            H5P_DEFAULT),
                 "create counts");
  text_attr(counts.id, "units", {"counts"}, false);

  std::vector<std::vector<double>> shapes;
  for (int slot = 1; slot <= 8; ++slot) {
    shapes.push_back(channel_shape(o.channels, slot));
  }
  const hsize_t slab_rows =
      std::max<hsize_t>(1, (std::size_t{1} << 20) / (4 * c * chunk_rows)) * chunk_rows;
  std::vector<std::int32_t> slab(static_cast<std::size_t>(slab_rows * c));
  for (hsize_t first = 0; first < dims[0]; first += slab_rows) {
    const hsize_t rows = std::min(slab_rows, dims[0] - first);
    for (hsize_t r = 0; r < rows; ++r) {
      const int s = static_cast<int>(first + r) + 1;
      const int k = plan.module_of[s - 1];
      int slot = 8;
      if (k > 0) {
        int bank = 0, side = 0, module = 0;
        bantrisk::index2module(bantrisk::default_modules_per_side, k, bank, side, module);
        slot = bantrisk::nbank18(bank);
      }
      spread_counts(plan.totals[s - 1], shapes[slot - 1], spectrum_offset(o.seed, s),
                    slab.data() + r * c);
    }
    const std::array<hsize_t, 2> start{first, 0};
    const std::array<hsize_t, 2> count{rows, c};
    check(H5Sselect_hyperslab(space.id, H5S_SELECT_SET, start.data(), nullptr, count.data(),
                              nullptr),
          "select spectra");
    Space mem(H5Screate_simple(2, count.data(), nullptr), "create a dataspace");
    check(H5Dwrite(counts.id, H5T_NATIVE_INT32, mem.id, space.id, H5P_DEFAULT, slab.data()),
          "write counts");
  }
}

void write_text(const std::filesystem::path &file, const std::string &text) {
  std::ofstream out(file);
  out << text;
  if (!out) {
    throw std::runtime_error("cannot write " + file.string());
  }
}

std::string spectra_file_text(const Plan &plan) {
  std::string text = "Spectra file of a synthetic run (bantrisk-mkrun, seed " +
                     std::to_string(plan.seed) + ")\n";
  text += std::to_string(plan.entries.size()) + "   entries\n";
  text += "  detector  spectrum\n";
  std::array<char, 32> line{};
  for (const Entry &e : plan.entries) {
    std::snprintf(line.data(), line.size(), "%10d %9d\n", e.code, e.spectrum);
    text += line.data();
  }
  return text;
}

} // namespace

int main(int argc, char **argv) {
  try {
    const Options o = parse(argc, argv);
    const Plan plan = make_plan(o.spectra, o.channels, o.seed, o.mean_counts);
    std::filesystem::create_directories(o.dir);
    write_run(o, plan, o.dir / o.run_file);
    write_text(o.dir / o.spectra_file, spectra_file_text(plan));
    write_text(o.dir / "specfile.dat",
               "1\n" + std::to_string(o.spectra) + " " + o.spectra_file + "\n");
    const std::string text = summary(plan, o.run_file);
    write_text(o.dir / o.summary_file, text);
    if (!o.integrals_file.empty()) {
      std::string lines;
      for (int s = 1; s <= o.spectra; ++s) {
        lines += std::to_string(s) + " " + std::to_string(plan.totals[s - 1]) + "\n";
      }
      write_text(o.dir / o.integrals_file, lines);
    }
    std::cout << text;
    return 0;
  } catch (const UsageError &e) {
    std::cerr << "bantrisk-mkrun: " << e.what() << "\n\n" << usage;
    return 2;
  } catch (const std::exception &e) {
    std::cerr << "bantrisk-mkrun: " << e.what() << "\n";
    return 1;
  }
}
