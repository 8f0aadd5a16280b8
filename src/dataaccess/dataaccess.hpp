#pragma once
// The run-file access operations. The driver calls them in one fixed order:
//   probe_source(name); mf_activate_session("MORLA", 0, 0); mf_select_source(name);
//   mf_get("h_NSP1", "NSP1", 0); mf_get("h_NTC1", "NTC1", 0);
//   mf_transfer("h_NSP1", "-->", "INT32", &nsp, 0, 0); mf_transfer("h_NTC1", ..., &ntc, 0, 0);
//   integrate(spectra) (or, per spectrum s, what it stands for: mf_get("h_DATA", " ", s);
//                   mf_transfer("h_DATA.X", "-->", "FLOAT32[]", boundaries, 1, ntc + 1);
//                   mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", values, 1, ntc + 1) and the
//                   integration of the values);
//   mf_release_handle("h_NSP1"), ("h_NTC1"), ("h_DATA"); mf_deactivate_session().
// Destinations are plain arrays indexed from 0 (element 0 receives index `first`). The
// boundaries are the same for every spectrum, so a transfer of them into the destination (with
// the first element and count) that received them last from the same run is not repeated: the
// caller keeps them there and does not write into that destination in between.
// Nothing here writes to the console: every failure throws RunFileError, whose message names
// the file and the reason; the driver reports it and ends the program.
#include "lib/integration.hpp"
#include "lib/tof_window.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace bantrisk::dataaccess {

class RunFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The ways the counts of a run reach the integration. Every route gives the same integrals bit
// for bit; `automatic` takes the fastest the run allows. The others are forced by tests only.
enum class CountsRoute {
  automatic,
  chunk_order,   // the whole run in the order it is stored, on a pool of threads
  direct_blocks, // blocks of stored chunks read and inflated beside the library
  library_whole, // blocks read by the HDF5 library as 32-bit whole numbers
  library_real,  // blocks read by the HDF5 library as reals
};

// The integral of one spectrum and what its integration had to do beyond the plain sum.
struct SpectrumTotal {
  std::int32_t integral = 0;
  IntegrationNotes notes;
};

class Session {
public:
  Session();
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // The first opening of a run file, in a child process that reads its metadata and its chunk
  // index (never the counts): a damaged file can make the HDF5 library crash, loop or exhaust
  // memory, and is then refused (RunFileError) instead of taking the program down. The child
  // gets the open time limit, kept by this process whatever the signals' dispositions; it holds
  // none of the program's folder locks, ends when this process ends, and is ended and reaped
  // before this process leaves on a terminating signal. `file` as for mf_select_source.
  void probe_source(std::string_view file);

  void mf_activate_session(std::string_view package, std::int32_t a, std::int32_t b);
  // `file` may carry trailing blanks or tabs (an 80-character name); they are not part of the
  // name, which is resolved to its full name exactly as the program's existence check does.
  void mf_select_source(std::string_view file);
  void mf_get(std::string_view handle, std::string_view field, std::int32_t index);
  void mf_transfer(std::string_view source, std::string_view direction, std::string_view type,
                   std::int32_t *dest, std::int32_t first, std::int32_t count);
  void mf_transfer(std::string_view source, std::string_view direction, std::string_view type,
                   float *dest, std::int32_t first, std::int32_t count);
  void mf_transfer(std::string_view source, std::string_view direction, std::string_view type,
                   double *dest, std::int32_t first, std::int32_t count);
  void mf_release_handle(std::string_view handle);

  // The counts of the spectrum the last mf_get("h_DATA", ...) bound, as whole numbers, when the
  // run holds them so: one per time channel, valid until the next operation of the session.
  // Empty when the counts are reals or wider whole numbers, or no spectrum is bound. The
  // channel values of that spectrum are these counts divided by the channel widths.
  std::span<const std::int32_t> whole_counts() const;
  void mf_deactivate_session();

  // The integrals of spectra 1..spectra of the selected run (element 0 is spectrum 1), each over
  // the time channels of `window` (every channel when none) by the integration rule: what
  // integ_spec gives for the channel values and boundaries of those channels. `route` is for
  // tests; a route the run cannot take is a RunFileError.
  std::vector<SpectrumTotal> integrate(std::int32_t spectra,
                                       std::optional<ChannelRange> window = std::nullopt,
                                       CountsRoute route = CountsRoute::automatic);
  // The routes the selected run's counts can take, `automatic` first.
  std::vector<CountsRoute> routes() const;

  // The probe's child gets this many seconds (30 unless set).
  void set_open_time_limit(unsigned seconds);
  // For tests: run in the probe's child before it opens the file (a slow child, for one).
  void set_probe_hook(std::function<void()> hook);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace bantrisk::dataaccess
