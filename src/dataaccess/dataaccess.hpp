#pragma once
// The run-file access operations. The driver calls them in one fixed order:
//   mf_activate_session("MORLA", 0, 0); mf_select_source(name);
//   mf_get("h_NSP1", "NSP1", 0); mf_get("h_NTC1", "NTC1", 0);
//   mf_transfer("h_NSP1", "-->", "INT32", &nsp, 0, 0); mf_transfer("h_NTC1", ..., &ntc, 0, 0);
//   per spectrum s: mf_get("h_DATA", " ", s);
//                   mf_transfer("h_DATA.X", "-->", "FLOAT32[]", boundaries, 1, ntc + 1);
//                   mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", values, 1, ntc + 1);
//   mf_release_handle("h_NSP1"), ("h_NTC1"), ("h_DATA"); mf_deactivate_session().
// Destinations are plain arrays indexed from 0 (element 0 receives index `first`). The
// boundaries are the same for every spectrum, so a transfer of them into the destination (with
// the first element and count) that received them last from the same run is not repeated: the
// caller keeps them there and does not write into that destination in between.
// Nothing here writes to the console: every failure throws RunFileError, whose message names
// the file and the reason; the driver reports it and ends the program.
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bantrisk::dataaccess {

class RunFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class Session {
public:
  Session();
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

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

  // A run file is first opened in a child process, which gets this many seconds (30 unless
  // set): a damaged file can make the HDF5 library crash or loop, and is then refused.
  void set_open_time_limit(unsigned seconds);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace bantrisk::dataaccess
