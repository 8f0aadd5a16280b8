// bantrisk-mkrun: writes a synthetic NeXus run of the 98-module instrument with planted faults,
// its spectra file and spectrum file list, and a summary of what was planted.
#include "mkrun_plan.hpp"

#include "lib/detector_numbering.hpp"
#include "lib/output_file.hpp"

#include "dataaccess/nexus_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
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
  bantrisk::dataaccess::RunFileLayout layout;
  layout.spectra = o.spectra;
  layout.channels = o.channels;
  layout.boundaries = boundaries(o.channels);
  layout.chunk_spectra = o.chunk_spectra;
  layout.gzip = o.gzip;
  std::vector<std::vector<double>> shapes;
  for (int slot = 1; slot <= 8; ++slot) {
    shapes.push_back(channel_shape(o.channels, slot));
  }
  const auto c = static_cast<std::size_t>(o.channels);
  bantrisk::dataaccess::write_run_file(
      file.string(), layout, [&](std::int32_t first, std::int32_t rows, std::int32_t *block) {
        for (std::int32_t r = 0; r < rows; ++r) {
          const int s = first + r + 1;
          const int k = plan.module_of[s - 1];
          int slot = 8;
          if (k > 0) {
            int bank = 0, side = 0, module = 0;
            bantrisk::index2module(bantrisk::default_modules_per_side, k, bank, side, module);
            slot = bantrisk::nbank18(bank);
          }
          spread_counts(plan.totals[s - 1], shapes[slot - 1], spectrum_offset(o.seed, s),
                        block + static_cast<std::size_t>(r) * c);
        }
      });
}

// A text file, through the program's one writer of output files: put in place only whole.
void write_text(const std::filesystem::path &file, const std::string &text) {
  int error = 0;
  const auto out = bantrisk::ReplacingFile::create(file.string(), error);
  if (!out) {
    throw std::runtime_error("cannot create " + file.string() + " (" + std::strerror(error) + ")");
  }
  out->write(text);
  if (!out->commit()) {
    throw std::runtime_error("cannot write " + file.string() + " (" + std::strerror(out->error()) +
                             ")");
  }
}

std::string spectra_file_text(const Plan &plan) {
  std::string text =
      "Spectra file of a synthetic run (bantrisk-mkrun, seed " + std::to_string(plan.seed) + ")\n";
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
  // Beyond a file-size limit a write fails (and is reported with its file) instead of ending
  // the program.
  std::signal(SIGXFSZ, SIG_IGN);
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
