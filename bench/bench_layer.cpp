// Reads every spectrum of a run file through the run-file layer in the program's call order and
// integrates it as the program does (from the whole counts where the layer has them); prints the
// time, the rate and the peak resident memory.
#include "dataaccess/dataaccess.hpp"
#include "lib/capacities.hpp"
#include "lib/integration.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <vector>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: bantrisk-bench-layer RUNFILE\n";
    return 2;
  }
  using clock = std::chrono::steady_clock;
  const auto start = clock::now();
  try {
    bantrisk::dataaccess::Session session;
    std::int32_t spectra = 0;
    std::int32_t channels = 0;
    session.mf_activate_session("MORLA", 0, 0);
    session.mf_select_source(argv[1]);
    session.mf_get("h_NSP1", "NSP1", 0);
    session.mf_get("h_NTC1", "NTC1", 0);
    session.mf_transfer("h_NSP1", "-->", "INT32", &spectra, 0, 0);
    session.mf_transfer("h_NTC1", "-->", "INT32", &channels, 0, 0);
    std::vector<float> boundaries(bantrisk::max_channel_values);
    std::vector<double> values(bantrisk::max_channel_values);
    std::int64_t grand_total = 0;
    int empty = 0;
    for (int s = 1; s <= spectra; ++s) {
      session.mf_get("h_DATA", " ", s);
      session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", boundaries.data(), 1, channels + 1);
      session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", values.data(), 1, channels + 1);
      const std::span<const float> b(boundaries.data(), static_cast<std::size_t>(channels) + 1);
      const std::span<const std::int32_t> whole = session.whole_counts();
      const std::int32_t sum = whole.size() >= static_cast<std::size_t>(channels)
                                   ? bantrisk::integ_whole_counts(b, whole, channels)
                                   : bantrisk::integ_spec(b, values, channels);
      grand_total += sum;
      empty += sum == 0 ? 1 : 0;
    }
    session.mf_release_handle("h_NSP1");
    session.mf_release_handle("h_NTC1");
    session.mf_release_handle("h_DATA");
    session.mf_deactivate_session();
    const double seconds = std::chrono::duration<double>(clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::cout << "spectra " << spectra << " channels " << channels << " total " << grand_total
              << " empty " << empty << "\n"
              << "seconds " << seconds << " spectra_per_second " << spectra / seconds
              << " peak_rss_kib " << usage.ru_maxrss << "\n";
  } catch (const bantrisk::dataaccess::RunFileError &e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
