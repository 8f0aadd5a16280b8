// One opened run file: the counts and boundaries found by the NeXus layout lookup, checked
// against the program's capacities, their storage validated, then streamed block by block.
#include "dataaccess/nexus_run.hpp"

#include "dataaccess/block_stream.hpp"
#include "dataaccess/chunk_sums.hpp"
#include "dataaccess/counts_storage.hpp"
#include "dataaccess/dataaccess.hpp"
#include "dataaccess/h5_util.hpp"
#include "dataaccess/hdf5_handle.hpp"
#include "dataaccess/nexus_layout.hpp"
#include "lib/capacities.hpp"
#include "lib/integration.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <optional>
#include <system_error>

namespace bantrisk::dataaccess {

struct RunFile::State {
  h5::Checker ck;
  h5::File file;
  NexusLayout layout;
  CountsShape shape;
  int spectra = 0;
  int channels = 0;
  std::vector<float> boundaries;
  std::vector<float> widths;
  ReadPlan plan;
  Opening opening = Opening::full;
  CountsStorage storage;            // as validated, for the routes that read the chunks again
  CountsRoute stream_route = CountsRoute::automatic; // how `stream` reads
  // The filter masks of many compressed chunks come only with their stored bytes: the route in
  // stored order checks them as it reads the chunks, and the other routes have them read first.
  bool masks_pending = false;
  std::optional<BlockStream> stream;

  explicit State(std::string path) : ck(std::move(path)) {}

  void open();
  void make_stream(CountsRoute route);
  void read_pending_masks();
  std::vector<SpectrumTotal> integrate_by_spectrum(int count, ChannelRange window);
  void check_signal();
  void read_boundaries();
};

void RunFile::State::open() {
  const std::string &path = ck.path();
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    ck.fail("file not found");
  }
  if (!std::filesystem::is_regular_file(status)) {
    ck.fail("not a regular file");
  }
  const htri_t is_hdf5 = H5Fis_hdf5(path.c_str());
  if (is_hdf5 < 0) {
    ck.fail_h5("cannot read the file");
  }
  if (is_hdf5 == 0) {
    ck.fail("not an HDF5 (NeXus) file");
  }
  h5::PropList fapl(ck.checked(H5Pcreate(H5P_FILE_ACCESS), "cannot open the file"));
#if H5_VERSION_GE(1, 10, 7)
  // Reading needs no lock, and locks fail on some network and read-only file systems.
  ck.checked(H5Pset_file_locking(fapl.get(), false, true), "cannot open the file");
#endif
  file.reset(ck.checked(H5Fopen(path.c_str(), H5F_ACC_RDONLY, fapl.get()), "cannot open the file"));
  layout = find_nexus_layout(ck, file.get());
  check_signal();
  read_boundaries();

  const std::uintmax_t file_size = std::filesystem::file_size(path, ec);
  if (ec) {
    ck.fail("cannot read the file's size (" + ec.message() + ")");
  }
  const std::string &spath = plan.signal_path;
  {
    h5::Dataset probe(
        ck.checked(H5Dopen2(layout.data.get(), layout.signal_name.c_str(), H5P_DEFAULT),
                   "cannot open dataset " + spath));
    storage = validate_counts_storage(ck, probe.get(), spath, shape, file_size,
                                      IndexReading::records_only);
    plan.chunk_order = plan.whole_numbers && chunk_order_suited(probe.get(), storage);
    if (opening == Opening::full && !storage.masks_known) {
      if (plan.chunk_order) {
        masks_pending = true;
      } else {
        storage = validate_counts_storage(ck, probe.get(), spath, shape, file_size,
                                          IndexReading::with_filter_masks);
      }
    }
  }
  if (opening == Opening::full && !masks_pending) {
    make_stream(CountsRoute::automatic);
  }
}

void RunFile::State::read_pending_masks() {
  if (!masks_pending) {
    return;
  }
  const std::string &spath = plan.signal_path;
  h5::Dataset counts(ck.checked(
      H5Dopen2(layout.data.get(), layout.signal_name.c_str(), H5P_DEFAULT),
      "cannot open dataset " + spath));
  std::error_code ec;
  const std::uintmax_t file_size = std::filesystem::file_size(ck.path(), ec);
  if (ec) {
    ck.fail("cannot read the file's size (" + ec.message() + ")");
  }
  storage = validate_counts_storage(ck, counts.get(), spath, shape, file_size,
                                    IndexReading::with_filter_masks);
  masks_pending = false;
}

void RunFile::State::make_stream(CountsRoute route) {
  if (stream && stream_route == route) {
    return;
  }
  read_pending_masks();
  stream.reset();
  ReadPlan scratch = plan;
  const bool whole = plan.whole_numbers && route != CountsRoute::library_real;
  stream.emplace(ck, layout.data.get(), layout.signal_name, plan.signal_path, shape, storage,
                 whole, route == CountsRoute::automatic ? plan : scratch,
                 route == CountsRoute::automatic || route == CountsRoute::direct_blocks);
  stream_route = route;
}

// The counts' shape and type against what the program can hold.
void RunFile::State::check_signal() {
  plan.signal_path = layout.signal_path;
  const std::string &spath = plan.signal_path;
  h5::Dataset probe(ck.checked(H5Dopen2(layout.data.get(), layout.signal_name.c_str(), H5P_DEFAULT),
                               "cannot open dataset " + spath));
  h5::Dataspace space(ck.checked(H5Dget_space(probe.get()), "cannot read the shape of " + spath));
  const int rank =
      ck.checked(H5Sget_simple_extent_ndims(space.get()), "cannot read the shape of " + spath);
  if (rank != 2 && rank != 3) {
    ck.fail("signal " + spath + " has rank " + std::to_string(rank) +
            " (expected [spectra, channels] or [periods, spectra, channels])");
  }
  shape.rank = rank;
  std::array<hsize_t, 3> &dims = shape.dims;
  ck.checked(H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr),
             "cannot read the shape of " + spath);
  if (rank == 3 && dims[0] == 0) {
    ck.fail("signal " + spath + " has no periods");
  }
  const hsize_t n_spectra = dims[static_cast<std::size_t>(rank) - 2];
  const hsize_t n_channels = dims[static_cast<std::size_t>(rank) - 1];
  if (n_spectra == 0) {
    ck.fail("signal " + spath + " has no spectra");
  }
  if (n_spectra > static_cast<hsize_t>(max_spectra)) {
    ck.fail("signal " + spath + " has " + std::to_string(n_spectra) + " spectra, more than " +
            std::to_string(max_spectra));
  }
  if (n_channels == 0) {
    ck.fail("signal " + spath + " has no time channels");
  }
  if (n_channels + 1 > static_cast<hsize_t>(max_channel_values)) {
    ck.fail("signal " + spath + " has " + std::to_string(n_channels) +
            " time channels, more than " + std::to_string(max_channel_values - 1));
  }
  spectra = static_cast<int>(n_spectra);
  channels = static_cast<int>(n_channels);

  h5::Type type(ck.checked(H5Dget_type(probe.get()), "cannot read the type of " + spath));
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
    ck.fail("signal " + spath + " does not hold numbers");
  }
  // Whole numbers that fit 32 bits are read as such (no conversion for the usual int32 counts);
  // everything else (reals, 64-bit and unsigned 32-bit counts) as double precision.
  const std::size_t size = H5Tget_size(type.get());
  const bool is_signed = H5Tget_sign(type.get()) == H5T_SGN_2;
  plan.whole_numbers = cls == H5T_INTEGER && (size < 4 || (size == 4 && is_signed));
  shape.file_element = size;
}

void RunFile::State::read_boundaries() {
  plan.boundaries_path = layout.boundaries_path;
  const std::string &bpath = plan.boundaries_path;
  const hid_t group = layout.data.get();
  const char *axis = layout.axis_name.c_str();
  if (H5Lexists(group, axis, H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    ck.fail("time-channel boundaries " + bpath + " (" + layout.axis_source + ") not found");
  }
  h5::Object obj(H5Oopen(group, axis, H5P_DEFAULT));
  if (!obj || H5Iget_type(obj.get()) != H5I_DATASET) {
    H5Eclear2(H5E_DEFAULT);
    ck.fail("time-channel boundaries " + bpath + " are not a dataset");
  }
  obj.reset();
  h5::Dataset ds(ck.checked(H5Dopen2(group, axis, H5P_DEFAULT), "cannot open dataset " + bpath));
  h5::Dataspace space(ck.checked(H5Dget_space(ds.get()), "cannot read the shape of " + bpath));
  const int brank =
      ck.checked(H5Sget_simple_extent_ndims(space.get()), "cannot read the shape of " + bpath);
  hsize_t length = 0;
  if (brank == 1) {
    ck.checked(H5Sget_simple_extent_dims(space.get(), &length, nullptr),
               "cannot read the shape of " + bpath);
  }
  if (brank != 1 || length != static_cast<hsize_t>(channels) + 1) {
    const std::string what =
        brank == 1 ? std::to_string(length) + " values" : "rank " + std::to_string(brank);
    ck.fail("time-channel boundaries " + bpath + " have " + what + ", expected " +
            std::to_string(channels + 1) + " (time channels + 1)");
  }
  h5::Type type(ck.checked(H5Dget_type(ds.get()), "cannot read the type of " + bpath));
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls != H5T_INTEGER && cls != H5T_FLOAT) {
    ck.fail("time-channel boundaries " + bpath + " do not hold numbers");
  }
  boundaries.assign(length, 0.0F);
  ck.checked(H5Dread(ds.get(), H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT, boundaries.data()),
             "cannot read time-channel boundaries " + bpath);
  // Widths are formed in single precision, as the integration forms them, and must be usable
  // divisors: finite and above zero.
  widths.assign(static_cast<std::size_t>(channels), 0.0F);
  for (std::size_t i = 0; i < boundaries.size(); ++i) {
    if (!std::isfinite(boundaries[i])) {
      ck.fail("time-channel boundary " + std::to_string(i + 1) + " of " + bpath + " is not finite");
    }
    if (i > 0) {
      const float width = boundaries[i] - boundaries[i - 1];
      if (!(width > 0.0F) || !std::isfinite(width)) {
        ck.fail("time-channel boundaries " + bpath + " are not strictly increasing at boundary " +
                std::to_string(i + 1));
      }
      widths[i - 1] = width;
    }
  }
}

RunFile::RunFile(std::string path, Opening opening)
    : st_(std::make_unique<State>(std::move(path))) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  st_->opening = opening;
  st_->open();
}

RunFile::~RunFile() = default;

const std::string &RunFile::path() const {
  return st_->ck.path();
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
    st_->ck.fail("spectrum " + std::to_string(s) + " outside 1.." + std::to_string(st_->spectra));
  }
  if (!st_->stream) {
    if (st_->opening == Opening::probe) {
      st_->ck.fail("the counts were not opened for reading");
    }
    st_->make_stream(CountsRoute::automatic);
  }
  st_->stream->load(s - 1);
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
  if (!st_->stream || !st_->stream->whole_numbers() || !st_->stream->holds(s - 1)) {
    return {};
  }
  return {st_->stream->whole_row(s - 1), static_cast<std::size_t>(st_->channels)};
}

void RunFile::values(int s, int first, int count, double *dest) {
  load(s);
  const int n = st_->channels;
  if (first < 1 || count < 0 || first - 1 + count > n + 1) {
    st_->ck.fail("channel values " + std::to_string(first) + " to " +
                 std::to_string(first - 1 + count) + " asked, the run has " + std::to_string(n) +
                 " time channels");
  }
  const int from = first - 1;
  const int to = std::min(first - 1 + count, n);
  if (to > from) {
    if (st_->stream->whole_numbers()) {
      divide_whole(st_->stream->whole_row(s - 1), st_->widths.data(), from, to, dest);
    } else {
      divide(st_->stream->real_row(s - 1), st_->widths.data(), from, to, dest);
    }
  }
  // Element channels+1 has no channel.
  for (int k = std::max(to, from); k < first - 1 + count; ++k) {
    dest[k - from] = 0.0;
  }
}

std::vector<CountsRoute> RunFile::routes() const {
  const ReadPlan &p = st_->plan;
  std::vector<CountsRoute> all{CountsRoute::automatic};
  if (p.chunk_order) {
    all.push_back(CountsRoute::chunk_order);
  }
  if (p.direct_chunks) { // known once the blocks' reader is made
    all.push_back(CountsRoute::direct_blocks);
  }
  if (p.whole_numbers) {
    all.push_back(CountsRoute::library_whole);
  }
  all.push_back(CountsRoute::library_real);
  return all;
}

std::vector<SpectrumTotal> RunFile::State::integrate_by_spectrum(int count, ChannelRange window) {
  std::vector<SpectrumTotal> totals(static_cast<std::size_t>(count));
  const auto first = static_cast<std::size_t>(window.first);
  const auto n = static_cast<std::size_t>(window.count);
  const std::span<const float> b(boundaries.data() + first, n + 1);
  std::vector<double> values(stream->whole_numbers() ? 0 : n);
  for (int s = 1; s <= count; ++s) {
    stream->load(s - 1);
    SpectrumTotal &t = totals[static_cast<std::size_t>(s - 1)];
    if (stream->whole_numbers()) {
      const std::span<const std::int32_t> row(stream->whole_row(s - 1) + first, n);
      t.integral = integ_whole_counts(b, row, window.count, &t.notes);
    } else {
      const double *row = stream->real_row(s - 1);
      divide(row, widths.data(), window.first, window.first + window.count, values.data());
      t.integral = integ_spec(b, values, window.count, &t.notes);
    }
  }
  return totals;
}

std::vector<SpectrumTotal> RunFile::integrate(int spectra, std::optional<ChannelRange> window,
                                              CountsRoute route) {
  State &st = *st_;
  if (spectra < 0 || spectra > st.spectra) {
    st.ck.fail("spectra 1 to " + std::to_string(spectra) + " asked, the run has spectra 1 to " +
               std::to_string(st.spectra));
  }
  const ChannelRange w = window.value_or(ChannelRange{0, st.channels});
  if (w.first < 0 || w.count < 0 || w.first > st.channels - w.count) {
    st.ck.fail("time channels " + std::to_string(w.first + 1) + " to " +
               std::to_string(static_cast<long long>(w.first) + w.count) +
               " asked, the run has " + std::to_string(st.channels));
  }
  const std::vector<CountsRoute> possible = routes();
  if (std::find(possible.begin(), possible.end(), route) == possible.end()) {
    st.ck.fail("the counts cannot be read by the route asked");
  }
  if (st.opening == Opening::probe) {
    st.ck.fail("the counts were not opened for reading");
  }
  if (route == CountsRoute::chunk_order ||
      (route == CountsRoute::automatic && st.plan.chunk_order)) {
    h5::Dataset counts(H5Dopen2(st.layout.data.get(), st.layout.signal_name.c_str(), H5P_DEFAULT));
    H5Eclear2(H5E_DEFAULT);
    if (counts) {
      ChunkSumsRequest rq;
      rq.dataset = counts.get();
      rq.path = st.ck.path();
      rq.shape = &st.shape;
      rq.storage = &st.storage;
      rq.spectra = spectra;
      rq.first_channel = w.first;
      rq.channel_count = w.count;
      rq.boundaries = st.boundaries.data();
      if (const auto sums = chunk_order_sums(rq)) {
        std::vector<SpectrumTotal> totals(sums->size());
        for (std::size_t i = 0; i < sums->size(); ++i) {
          totals[i].integral = limit_total((*sums)[i], totals[i].notes);
        }
        st.plan.last_route = CountsRoute::chunk_order;
        return totals;
      }
    }
    // Not read whole this way (a damaged chunk): read spectrum by spectrum, which says why.
    route = CountsRoute::automatic;
  }
  st.make_stream(route);
  std::vector<SpectrumTotal> totals = st.integrate_by_spectrum(spectra, w);
  st.plan.last_route = route;
  if (route == CountsRoute::automatic) {
    st.plan.last_route = st.plan.direct_chunks ? CountsRoute::direct_blocks
                         : st.plan.whole_numbers ? CountsRoute::library_whole
                                                 : CountsRoute::library_real;
  }
  st.make_stream(CountsRoute::automatic);
  return totals;
}

} // namespace bantrisk::dataaccess
