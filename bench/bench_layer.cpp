// Integrates every spectrum of a run file through the run-file layer as the program does (the
// probe, then the session's integration of the whole run); prints the time, the rate and the
// peak resident memory.
#include "dataaccess/dataaccess.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <iostream>

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
    session.probe_source(argv[1]);
    session.mf_activate_session("MORLA", 0, 0);
    session.mf_select_source(argv[1]);
    session.mf_get("h_NSP1", "NSP1", 0);
    session.mf_get("h_NTC1", "NTC1", 0);
    session.mf_transfer("h_NSP1", "-->", "INT32", &spectra, 0, 0);
    session.mf_transfer("h_NTC1", "-->", "INT32", &channels, 0, 0);
    std::int64_t grand_total = 0;
    int empty = 0;
    for (const auto &t : session.integrate(spectra)) {
      grand_total += t.integral;
      empty += t.integral == 0 ? 1 : 0;
    }
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
