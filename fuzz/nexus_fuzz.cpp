// Opening a NeXus run file made of arbitrary bytes, then the reads the driver makes: the
// number of spectra and of time channels, and the boundaries and values of every spectrum, in
// order, so that every block of counts is streamed, then the whole run integrated at once as
// the driver does (in the order it is stored, where the counts allow it). A refusal
// (RunFileError) is a normal outcome.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

#include "dataaccess/dataaccess.hpp"
#include "fuzz_support.hpp"
#include "lib/capacities.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using bantrisk::dataaccess::RunFileError;
  const auto file = bantrisk::fuzzing::work_dir() / "run.nxs";
  bantrisk::fuzzing::write_file(file, std::string_view(reinterpret_cast<const char *>(data), size));
  bantrisk::dataaccess::Session session;
  try {
    session.mf_activate_session("MORLA", 0, 0);
    session.mf_select_source(file.string());
    session.mf_get("h_NSP1", "NSP1", 0);
    session.mf_get("h_NTC1", "NTC1", 0);
    std::int32_t nsp = 0, ntc = 0;
    session.mf_transfer("h_NSP1", "-->", "INT32", &nsp, 0, 0);
    session.mf_transfer("h_NTC1", "-->", "INT32", &ntc, 0, 0);
    // An opened file has been checked against the tables the driver reads it into.
    if (nsp < 1 || nsp > bantrisk::max_spectra || ntc < 1 || ntc + 1 > bantrisk::max_channel_values)
      __builtin_trap();
    std::vector<float> boundaries(static_cast<std::size_t>(ntc) + 1);
    std::vector<double> values(static_cast<std::size_t>(ntc) + 1);
    for (std::int32_t s = 1; s <= nsp; ++s) {
      session.mf_get("h_DATA", " ", s);
      session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", boundaries.data(), 1, ntc + 1);
      session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", values.data(), 1, ntc + 1);
    }
    if (session.integrate(nsp).size() != static_cast<std::size_t>(nsp))
      __builtin_trap();
    session.mf_release_handle("h_NSP1");
    session.mf_release_handle("h_NTC1");
    session.mf_release_handle("h_DATA");
    session.mf_deactivate_session();
  } catch (const RunFileError &e) {
    static const bool echo = std::getenv("BANTRISK_FUZZ_ECHO") != nullptr;
    if (echo)
      std::cerr << e.what() << '\n';
  }
  return 0;
}
