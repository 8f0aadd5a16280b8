#pragma once
// One opened NeXus run file: finds the run's counts and time-channel boundaries, checks them
// against the program's capacities, and streams the counts block by block. Used by the session
// (dataaccess.cpp); kept free of HDF5 types so that tests can use it without the HDF5 headers.
#include "dataaccess/dataaccess.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace bantrisk::dataaccess {

// Size of the block buffer the reader aims at: a few hundred spectra of a typical run, small
// enough that memory does not depend on the run's size.
inline constexpr std::size_t block_target_bytes = std::size_t{2} << 20;
// Largest chunk cache the reader asks for when blocks hold whole chunk rows; chunks taller
// than a block get a cache of one whole chunk row whatever its size.
inline constexpr std::size_t chunk_cache_limit_bytes = std::size_t{64} << 20;

// How the counts are read: shown by tests and the benchmark.
struct ReadPlan {
  bool chunked = false;
  bool filtered = false;             // compressed (or otherwise filtered) chunks
  std::int64_t chunk_spectra = 0;    // chunk extent along the spectra (0 when contiguous)
  std::int64_t block_spectra = 0;    // spectra read by one block (the last may be shorter)
  std::size_t block_bytes = 0;       // size of the block buffer
  std::size_t chunk_cache_bytes = 0; // chunk cache of the dataset (0: chunks read directly)
  std::size_t cache_in_effect = 0;   // the chunk cache HDF5 applies to the open counts
  std::string signal_path;           // full HDF5 path of the counts
  std::string boundaries_path;       // full HDF5 path of the time-channel boundaries
  bool whole_numbers = false;        // counts held as whole numbers in memory
  bool direct_chunks = false;        // chunks read as stored, and inflated, on a second thread
  bool chunk_order = false;          // the whole run can be integrated in stored order
  CountsRoute last_route = CountsRoute::automatic; // the route the last integration took
};

// How much of a run file an opening reads: the probe stops at the chunk index's records.
enum class Opening { probe, full };

class RunFile {
public:
  // Opens and checks `path` (a full name); throws RunFileError naming it on any fault.
  explicit RunFile(std::string path, Opening opening = Opening::full);
  ~RunFile();
  RunFile(const RunFile &) = delete;
  RunFile &operator=(const RunFile &) = delete;

  const std::string &path() const;
  int spectra() const;
  int channels() const;
  // channels + 1 boundaries, strictly increasing and finite.
  const std::vector<float> &boundaries() const;
  const ReadPlan &plan() const;

  // Makes spectrum s (1..spectra) available, reading its block when needed.
  void load(int s);
  // Channel values of spectrum s, elements first..first+count-1 (element j is channel j's counts
  // divided by its width, element channels+1 is 0) into dest[0..count-1]. Loads the block.
  void values(int s, int first, int count, double *dest);
  // The counts of spectrum s (loaded) as whole numbers, one per channel; empty unless the run
  // holds 32-bit (or narrower) whole numbers or when s is not in the loaded block.
  std::span<const std::int32_t> whole_counts(int s) const;

  // Spectra 1..spectra integrated over `window` (every channel when none), by `route`.
  std::vector<SpectrumTotal> integrate(int spectra, std::optional<ChannelRange> window,
                                       CountsRoute route);
  std::vector<CountsRoute> routes() const;

private:
  struct State;
  std::unique_ptr<State> st_;
};

// Message of every failure of the layer: "** ERROR in run file <full name> : <reason>".
std::string run_file_message(const std::string &path, const std::string &reason);

} // namespace bantrisk::dataaccess
