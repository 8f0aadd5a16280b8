// The run-file layer against NeXus files in every accepted layout, files it must refuse, and
// callers that use it wrongly. Expected integrals come from numpy (expected.txt), not from this
// program.
#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"
#include "lib/capacities.hpp"
#include "lib/integration.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <new>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bantrisk::dataaccess::RunFile;
using bantrisk::dataaccess::RunFileError;
using bantrisk::dataaccess::Session;

const std::string data_dir = BANTRISK_NEXUS_DATA;

std::string data(const std::string &name) {
  return data_dir + "/" + name;
}

// One channel's counts as the integration forms them: single-precision width times the value in
// double precision, rounded to single precision, then to the nearest whole number (halves away
// from zero).
std::int32_t term(float width, double value) {
  const auto product = static_cast<float>(static_cast<double>(width) * value);
  return static_cast<std::int32_t>(std::lround(product));
}

// The program's own integration of the channel values a session transferred.
std::int32_t integrate(const std::vector<float> &b, const std::vector<double> &y, int channels) {
  return bantrisk::integ_spec(b, y, channels);
}

// Everything one pass through the session gives: the sizes, the boundaries of the last spectrum
// and every spectrum's integral.
struct Pass {
  std::int32_t spectra = -1;
  std::int32_t channels = -1;
  std::vector<float> boundaries;
  std::vector<std::int32_t> integrals;
};

Pass read_all(const std::string &file) {
  Session session;
  Pass pass;
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(file);
  session.mf_get("h_NSP1", "NSP1", 0);
  session.mf_get("h_NTC1", "NTC1", 0);
  session.mf_transfer("h_NSP1", "-->", "INT32", &pass.spectra, 0, 0);
  session.mf_transfer("h_NTC1", "-->", "INT32", &pass.channels, 0, 0);
  const int n = pass.channels + 1;
  pass.boundaries.assign(bantrisk::max_channel_values, -1.0F);
  std::vector<double> values(bantrisk::max_channel_values, -1.0);
  for (int s = 1; s <= pass.spectra; ++s) {
    session.mf_get("h_DATA", " ", s);
    session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", pass.boundaries.data(), 1, n);
    session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", values.data(), 1, n);
    EXPECT_EQ(values[n - 1], 0.0) << "element past the last channel, spectrum " << s;
    pass.integrals.push_back(integrate(pass.boundaries, values, pass.channels));
  }
  session.mf_release_handle("h_NSP1");
  session.mf_release_handle("h_NTC1");
  session.mf_release_handle("h_DATA");
  session.mf_deactivate_session();
  pass.boundaries.resize(n);
  return pass;
}

struct Expected {
  std::string file;
  int spectra = 0;
  int channels = 0;
  float first_boundary = 0;
  float last_boundary = 0;
  std::vector<std::int32_t> integrals;
};

std::vector<Expected> expected_results() {
  std::ifstream in(data("expected.txt"));
  std::vector<Expected> all;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream words(line);
    Expected e;
    words >> e.file >> e.spectra >> e.channels >> e.first_boundary >> e.last_boundary;
    std::int32_t v = 0;
    while (words >> v) {
      e.integrals.push_back(v);
    }
    all.push_back(e);
  }
  return all;
}

class ReadableFile : public testing::TestWithParam<Expected> {};

TEST_P(ReadableFile, GivesSizesBoundariesAndIntegrals) {
  const Expected &e = GetParam();
  ASSERT_EQ(static_cast<int>(e.integrals.size()), e.spectra) << "expected.txt is inconsistent";
  const Pass pass = read_all(data(e.file));
  EXPECT_EQ(pass.spectra, e.spectra);
  EXPECT_EQ(pass.channels, e.channels);
  ASSERT_EQ(static_cast<int>(pass.boundaries.size()), e.channels + 1);
  EXPECT_EQ(pass.boundaries.front(), e.first_boundary);
  EXPECT_EQ(pass.boundaries.back(), e.last_boundary);
  EXPECT_EQ(pass.integrals, e.integrals);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ReadableFile, testing::ValuesIn(expected_results()),
                         [](const testing::TestParamInfo<Expected> &info) {
                           std::string name = info.param.file.substr(0, info.param.file.find('.'));
                           for (char &c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) {
                               c = '_';
                             }
                           }
                           return name;
                         });

// Every readable run of the folder, integrated by every route its counts can take, over all its
// channels and over a window of them, against the integrals numpy computed by the integration
// rule (expected_sums.txt, written by make_expected_sums.py).
struct ExpectedSums {
  std::string file;
  std::int32_t first = 0;
  std::int32_t count = 0; // 0: every channel
  std::vector<std::int32_t> integrals;
};

std::vector<ExpectedSums> expected_sums() {
  std::ifstream in(data("expected_sums.txt"));
  std::vector<ExpectedSums> all;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream words(line);
    ExpectedSums e;
    words >> e.file >> e.first >> e.count;
    std::int32_t v = 0;
    while (words >> v) {
      e.integrals.push_back(v);
    }
    all.push_back(e);
  }
  return all;
}

const char *route_name(bantrisk::dataaccess::CountsRoute route) {
  using bantrisk::dataaccess::CountsRoute;
  switch (route) {
  case CountsRoute::automatic:
    return "automatic";
  case CountsRoute::chunk_order:
    return "chunk_order";
  case CountsRoute::direct_blocks:
    return "direct_blocks";
  case CountsRoute::library_whole:
    return "library_whole";
  case CountsRoute::library_real:
    return "library_real";
  }
  return "?";
}

class EveryRoute : public testing::TestWithParam<ExpectedSums> {};

TEST_P(EveryRoute, GivesTheIntegralsNumpyComputed) {
  using bantrisk::dataaccess::CountsRoute;
  const ExpectedSums &e = GetParam();
  const auto spectra = static_cast<std::int32_t>(e.integrals.size());
  Session session;
  session.probe_source(data(e.file));
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(data(e.file));
  std::optional<bantrisk::ChannelRange> window;
  if (e.count > 0) {
    window = bantrisk::ChannelRange{e.first, e.count};
  }
  const std::vector<CountsRoute> routes = session.routes();
  ASSERT_FALSE(routes.empty());
  EXPECT_EQ(routes.front(), CountsRoute::automatic);
  for (const CountsRoute route : routes) {
    const auto totals = session.integrate(spectra, window, route);
    std::vector<std::int32_t> got;
    for (const auto &t : totals) {
      got.push_back(t.integral);
    }
    EXPECT_EQ(got, e.integrals) << "route " << route_name(route);
  }
  // The whole-number runs of 32-bit counts in plain or deflate storage take the run in stored
  // order; the others are read spectrum by spectrum.
  const bool stored_order =
      std::find(routes.begin(), routes.end(), CountsRoute::chunk_order) != routes.end();
  const bool new_shape = e.file.rfind("chunks_", 0) == 0 || e.file == "contiguous_int32.nxs";
  if (new_shape || e.file == "gzip.nxs" || e.file == "chopper.nxs") {
    EXPECT_EQ(stored_order, e.file != "chunks_shuffled.nxs");
  }
  if (stored_order) { // and takes it, without falling back to another route
    RunFile run(data(e.file));
    run.integrate(spectra, window, CountsRoute::chunk_order);
    // but for the chunk whose filter was skipped, which only the library reads
    EXPECT_EQ(run.plan().last_route, e.file == "chunks_many_skipped.nxs"
                                         ? CountsRoute::direct_blocks
                                         : CountsRoute::chunk_order);
  }
  if (e.file.find("float") != std::string::npos || e.file == "uint16_counts.nxs" ||
      e.file == "int64_counts.nxs" || e.file == "infinite_counts.nxs") {
    EXPECT_FALSE(stored_order);
  }
  // The channel values transferred one spectrum at a time, integrated by the program's rule
  // over the same channels, agree too.
  if (e.count == 0) {
    EXPECT_EQ(read_all(data(e.file)).integrals, e.integrals) << "spectrum by spectrum";
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, EveryRoute, testing::ValuesIn(expected_sums()),
                         [](const testing::TestParamInfo<ExpectedSums> &info) {
                           std::string name = info.param.file.substr(0, info.param.file.find('.'));
                           for (char &c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) {
                               c = '_';
                             }
                           }
                           return name + (info.param.count > 0 ? "_window" : "_all");
                         });

TEST(EveryRoute, WindowBeyondTheRunIsRefused) {
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(data("gzip.nxs")); // 11 spectra, 9 channels
  for (const bantrisk::ChannelRange w : {bantrisk::ChannelRange{-1, 3}, bantrisk::ChannelRange{7, 3},
                                         bantrisk::ChannelRange{0, 10}, bantrisk::ChannelRange{2, -1}}) {
    EXPECT_THROW(session.integrate(11, w), RunFileError) << w.first << " " << w.count;
  }
  EXPECT_THROW(session.integrate(12), RunFileError);
  // An empty window integrates to 0; the first spectra alone may be asked.
  const auto none = session.integrate(11, bantrisk::ChannelRange{9, 0});
  ASSERT_EQ(none.size(), 11U);
  EXPECT_EQ(none[0].integral, 0);
  EXPECT_EQ(session.integrate(3).size(), 3U);
}

TEST(ReadableFile, EveryLayoutIsListed) {
  // Guards against expected.txt losing lines: each accepted layout has its line.
  EXPECT_EQ(expected_results().size(), 15U);
}

TEST(ChopperRun, BoundariesAndEmptySpectra) {
  const Pass pass = read_all(data("chopper.nxs"));
  ASSERT_EQ(pass.boundaries.size(), 751U);
  for (std::size_t i = 0; i < pass.boundaries.size(); ++i) {
    ASSERT_EQ(pass.boundaries[i], 1900.0F + 2.0F * static_cast<float>(i)) << i;
  }
  int empty = 0;
  for (std::int32_t v : pass.integrals) {
    empty += v == 0 ? 1 : 0;
  }
  EXPECT_EQ(empty, 6);
}

// Channel by channel: the value times the width, as the program integrates it, gives back the
// whole counts exactly for every count of magnitude up to 2^24, narrow and wide channels alike.
TEST(ChannelValues, WholeCountsComeBackExactlyUpTo2To24) {
  RunFile run(data("roundtrip.nxs"));
  const std::vector<float> &b = run.boundaries();
  std::vector<double> y(run.channels() + 1);
  // The counts as written (first five spectra), checked against a few known values.
  const std::vector<std::pair<int, std::int32_t>> fixed_rows = {
      {1, 1 << 24}, {2, (1 << 24) - 1}, {3, -(1 << 24)}, {4, 1}};
  for (const auto &[s, count] : fixed_rows) {
    run.values(s, 1, run.channels() + 1, y.data());
    for (int i = 0; i < run.channels(); ++i) {
      ASSERT_EQ(term(b[i + 1] - b[i], y[i]), count) << "spectrum " << s << " channel " << i + 1;
    }
  }
  run.values(5, 1, run.channels(), y.data());
  for (int i = 0; i < run.channels(); ++i) {
    ASSERT_EQ(term(b[i + 1] - b[i], y[i]), i * 83886) << "channel " << i + 1;
  }
  // Every spectrum, random counts included: the 64-bit sum of the terms is numpy's sum.
  std::ifstream sums(data("roundtrip_sums.txt"));
  std::string line;
  std::getline(sums, line); // heading
  for (int s = 1; s <= run.spectra(); ++s) {
    std::int64_t expected = 0;
    ASSERT_TRUE(sums >> expected);
    run.values(s, 1, run.channels(), y.data());
    std::int64_t total = 0;
    for (int i = 0; i < run.channels(); ++i) {
      total += term(b[i + 1] - b[i], y[i]);
    }
    EXPECT_EQ(total, expected) << "spectrum " << s;
  }
}

// Beyond 2^24 single precision has no room for every whole number: a count comes back as the
// nearest single-precision number (2^24 + 1 gives 2^24, 2^25 + 3 gives 2^25 + 4).
TEST(ChannelValues, CountsAbove2To24ComeBackAsNearestSinglePrecision) {
  struct Case {
    int spectrum;
    int channel;
    std::int64_t written;
    std::int64_t returned;
  };
  const std::vector<Case> cases = {
      {1, 3, (1 << 24) - 1, (1 << 24) - 1}, {1, 4, 1 << 24, 1 << 24},
      {1, 6, (1 << 24) + 2, (1 << 24) + 2}, {2, 2, (1 << 23) + 1, (1 << 23) + 1},
      {2, 4, 12345678, 12345678},           {3, 1, (1 << 24) + 1, 1 << 24},
      {3, 2, (1 << 25) + 3, (1 << 25) + 4}, {3, 3, 2147483647, 2147483648LL},
  };
  RunFile run(data("large_counts.nxs"));
  const std::vector<float> &b = run.boundaries();
  std::vector<double> y(run.channels() + 1);
  for (const Case &c : cases) {
    run.values(c.spectrum, 1, run.channels(), y.data());
    const int i = c.channel - 1;
    const auto product = static_cast<float>(static_cast<double>(b[i + 1] - b[i]) * y[i]);
    EXPECT_EQ(static_cast<std::int64_t>(product), c.returned)
        << "spectrum " << c.spectrum << " channel " << c.channel << " written " << c.written;
  }
}

struct Rejected {
  std::string file;
  std::string reason;
};

class RejectedFile : public testing::TestWithParam<Rejected> {};

TEST_P(RejectedFile, SelectThrowsNamingFileAndReason) {
  const Rejected &r = GetParam();
  const std::string full = std::filesystem::absolute(data(r.file)).lexically_normal().string();
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  try {
    session.mf_select_source(data(r.file));
    FAIL() << r.file << " was accepted";
  } catch (const RunFileError &err) {
    const std::string message = err.what();
    EXPECT_EQ(message.rfind("** ERROR in run file " + full + " : ", 0), 0U) << message;
    EXPECT_NE(message.find(r.reason), std::string::npos) << message;
  }
  // The session is still usable afterwards and holds no file.
  std::int32_t n = -7;
  EXPECT_THROW(session.mf_transfer("h_NSP1", "-->", "INT32", &n, 0, 0), RunFileError);
  EXPECT_EQ(n, -7);
}

INSTANTIATE_TEST_SUITE_P(
    Files, RejectedFile,
    testing::Values(
        Rejected{"missing.nxs", "file not found"}, Rejected{".", "not a regular file"},
        Rejected{"not_hdf5.nxs", "not an HDF5 (NeXus) file"},
        Rejected{"no_entry.nxs", "no NXentry group"},
        Rejected{"no_data.nxs", "no NXdata group in /entry"},
        Rejected{"no_signal.nxs", "no signal dataset in /entry/data"},
        Rejected{"signal_missing.nxs", "signal dataset 'nothing_here' named by /entry/data"},
        Rejected{"boundaries_missing.nxs", "/entry/data/tof_not_here (the axes of /entry/data)"},
        Rejected{"boundaries_wrong_length.nxs", "have 5 values, expected 4"},
        Rejected{"boundaries_rank2.nxs", "have rank 2, expected 4"},
        Rejected{"boundaries_not_increasing.nxs", "not strictly increasing at boundary 3"},
        Rejected{"boundaries_decreasing.nxs", "not strictly increasing at boundary 2"},
        Rejected{"boundaries_nan.nxs", "boundary 3 of /entry/data/time_of_flight is not finite"},
        Rejected{"too_many_spectra.nxs", "has 20001 spectra, more than 20000"},
        Rejected{"too_many_channels.nxs", "has 10000 time channels, more than 9999"},
        Rejected{"rank1.nxs", "has rank 1"}, Rejected{"rank4.nxs", "has rank 4"},
        Rejected{"zero_periods.nxs", "has no periods"},
        Rejected{"string_signal.nxs", "does not hold numbers"},
        // Storage of the counts that HDF5 would read outside its buffers, or in other files
        // (made by make_damaged_files.py).
        Rejected{"chunk_filters_skipped.nxs",
                 "damaged file: chunk 1 of /entry/data/counts holds 65 bytes, its counts need 108"},
        Rejected{"chunk_outside_file.nxs",
                 "damaged file: chunk 1 of /entry/data/counts lies outside the file"},
        Rejected{"chunk_too_large.nxs", "stored in chunks of more than 256 MiB each"},
        Rejected{"virtual_counts.nxs", "/entry/data/counts are a virtual dataset"},
        // Counts never written read as the fill value (9 in both): no counts of a run.
        Rejected{"unwritten_contiguous.nxs", "damaged file: the counts were never written"},
        Rejected{"unwritten_chunk.nxs", "damaged file: the counts were never written"}),
    [](const testing::TestParamInfo<Rejected> &info) {
      std::string name = info.param.file == "." ? "directory" : info.param.file;
      name = name.substr(0, name.find('.'));
      return name;
    });

TEST(CorruptChunk, ReadErrorWhileStreamingThrowsWithTheCause) {
  const std::string full =
      std::filesystem::absolute(data("corrupt_chunk.nxs")).lexically_normal().string();
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(data("corrupt_chunk.nxs")); // the damage is found only by reading
  std::vector<double> y(51, -1.0);
  for (int attempt = 0; attempt < 2; ++attempt) { // a failed block is not kept as read
    try {
      session.mf_get("h_DATA", " ", 21); // spectra 21..30 are the damaged chunk
      FAIL() << "damaged chunk read without error";
    } catch (const RunFileError &err) {
      EXPECT_EQ(std::string(err.what()),
                "** ERROR in run file " + full +
                    " : cannot read spectra 1 to 40 of /entry/data/counts (inflate() failed)");
    }
  }
  EXPECT_THROW(session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", y.data(), 1, 51), RunFileError);
  EXPECT_EQ(y[0], -1.0);
  // The whole run integrated at once: every route stops at the damaged chunk with the cause.
  for (const auto route : session.routes()) {
    try {
      session.integrate(40, std::nullopt, route);
      FAIL() << "damaged chunk integrated, route " << route_name(route);
    } catch (const RunFileError &err) {
      EXPECT_NE(std::string(err.what()).find("(inflate() failed)"), std::string::npos)
          << err.what();
    }
  }
}

// Wrong use of the session throws and never writes into the destination.
TEST(SessionMisuse, EveryWrongCallThrows) {
  struct Case {
    const char *name;
    bool select_first;
    void (*call)(Session &);
  };
  static std::int32_t whole = 0;
  static float reals[10];
  static double doubles[10];
  const std::vector<Case> cases = {
      {"select outside a session", false, [](Session &s) { s.mf_select_source("x"); }},
      {"get before select", false, [](Session &s) { s.mf_get("h_NSP1", "NSP1", 0); }},
      {"transfer before select", false,
       [](Session &s) { s.mf_transfer("h_NSP1", "-->", "INT32", &whole, 0, 0); }},
      {"transfer before get", true,
       [](Session &s) { s.mf_transfer("h_NSP1", "-->", "INT32", &whole, 0, 0); }},
      {"spectrum 0", true, [](Session &s) { s.mf_get("h_DATA", " ", 0); }},
      {"spectrum past the last", true, [](Session &s) { s.mf_get("h_DATA", " ", 6); }},
      {"unknown field", true, [](Session &s) { s.mf_get("h_X", "NSP2", 0); }},
      {"blank field of an unknown handle", true, [](Session &s) { s.mf_get("h_X", " ", 0); }},
      {"boundaries past the end", true,
       [](Session &s) {
         s.mf_get("h_DATA", " ", 1);
         s.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", reals, 1, 9);
       }},
      {"values from index 0", true,
       [](Session &s) {
         s.mf_get("h_DATA", " ", 1);
         s.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", doubles, 0, 8);
       }},
      {"null destination", true,
       [](Session &s) {
         s.mf_get("h_DATA", " ", 1);
         s.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", static_cast<double *>(nullptr), 1, 8);
       }},
      {"values into single precision", true,
       [](Session &s) {
         s.mf_get("h_DATA", " ", 1);
         s.mf_transfer("h_DATA.Y", "-->", "FLOAT32[]", reals, 1, 8);
       }},
      {"wrong type name", true,
       [](Session &s) {
         s.mf_get("h_NSP1", "NSP1", 0);
         s.mf_transfer("h_NSP1", "-->", "INT64", &whole, 0, 0);
       }},
      {"wrong direction", true,
       [](Session &s) {
         s.mf_get("h_NSP1", "NSP1", 0);
         s.mf_transfer("h_NSP1", "<--", "INT32", &whole, 0, 0);
       }},
      {"unknown component", true,
       [](Session &s) {
         s.mf_get("h_DATA", " ", 1);
         s.mf_transfer("h_DATA.Z", "-->", "FLOAT64[]", doubles, 1, 8);
       }},
      {"several numbers of NSP1", true,
       [](Session &s) {
         s.mf_get("h_NSP1", "NSP1", 0);
         s.mf_transfer("h_NSP1", "-->", "INT32", &whole, 1, 2);
       }},
      {"release of an unknown handle", true, [](Session &s) { s.mf_release_handle("h_FOO"); }},
      {"transfer after release", true,
       [](Session &s) {
         s.mf_get("h_NSP1", "NSP1", 0);
         s.mf_release_handle("h_NSP1");
         s.mf_transfer("h_NSP1", "-->", "INT32", &whole, 0, 0);
       }},
      {"transfer after deactivation", true,
       [](Session &s) {
         s.mf_get("h_NSP1", "NSP1", 0);
         s.mf_deactivate_session();
         s.mf_transfer("h_NSP1", "-->", "INT32", &whole, 0, 0);
       }},
  };
  for (const Case &c : cases) {
    Session session;
    if (c.select_first) {
      session.mf_activate_session("MORLA", 0, 0);
      session.mf_select_source(data("old_signal_colon.nxs")); // 5 spectra, 7 channels
    }
    whole = -5;
    EXPECT_THROW(c.call(session), RunFileError) << c.name;
    EXPECT_EQ(whole, -5) << c.name;
  }
  Session other;
  EXPECT_THROW(other.mf_activate_session("OTHER", 0, 0), RunFileError);
}

TEST(Session, PaddedRelativeNameIsResolvedAndNothingFetchedIsFine) {
  struct InDataDir { // back to the first folder however the test ends
    std::filesystem::path before = std::filesystem::current_path();
    InDataDir() { std::filesystem::current_path(data_dir); }
    ~InDataDir() { std::filesystem::current_path(before); }
  } in_data_dir;
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  // Trailing blanks and tabs are not part of the name, by the rule of the existence check.
  std::string padded = "old_signal_comma.nxs\t";
  padded.resize(80, ' ');
  session.mf_select_source(padded);
  std::int32_t channels = 0;
  session.mf_get("h_NTC1", "NTC1", 0);
  session.mf_transfer("h_NTC1", "-->", "INT32", &channels, 0, 0);
  EXPECT_EQ(channels, 6);
  // The usual releases, including a data handle never bound.
  session.mf_release_handle("h_NSP1");
  session.mf_release_handle("h_NTC1");
  session.mf_release_handle("h_DATA");
  session.mf_deactivate_session();
  try {
    Session s2;
    s2.mf_activate_session("MORLA", 0, 0);
    s2.mf_select_source("absent.RAW");
    FAIL();
  } catch (const RunFileError &err) {
    EXPECT_EQ(std::string(err.what()),
              "** ERROR in run file " + (std::filesystem::path(data_dir) / "absent.RAW").string() +
                  " : file not found");
  }
}

// Spectra may be fetched in any order and in part: each comes from its own block.
TEST(Session, PartialRangesAndAnyOrder) {
  const Pass all = read_all(data("gzip_split.nxs"));
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(data("gzip_split.nxs"));
  std::vector<float> b(10);
  std::vector<double> y(10, -1.0);
  for (int s : {11, 1, 6, 2, 10}) {
    session.mf_get("h_DATA", " ", s);
    session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", b.data(), 1, 10);
    session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", y.data(), 1, 10);
    EXPECT_EQ(integrate(b, y, 9), all.integrals[s - 1]) << s;
  }
  // Elements 3..5 of the boundaries land in elements 0..2 of the destination.
  std::vector<float> part(3, -1.0F);
  session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", part.data(), 3, 3);
  EXPECT_EQ(part, (std::vector<float>{b[2], b[3], b[4]}));
  // The element past the last channel alone.
  double last = -1.0;
  session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", &last, 10, 1);
  EXPECT_EQ(last, 0.0);
}

// The boundaries are not copied again into the destination that holds them, but a newly
// selected run's boundaries always replace the previous run's.
TEST(Session, BoundariesOfANewRunReplaceTheOldInTheSameDestination) {
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  std::vector<float> b(3, -1.0F);
  for (const char *file : {"gzip.nxs", "roundtrip.nxs", "gzip.nxs"}) {
    session.mf_select_source(data(file));
    for (int s : {1, 2}) {
      session.mf_get("h_DATA", " ", s);
      session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", b.data(), 1, 3);
      const std::vector<float> expected = RunFile(data(file)).boundaries();
      EXPECT_EQ(b, std::vector<float>(expected.begin(), expected.begin() + 3)) << file;
    }
  }
}

TEST(ReadPlan, CompressedChunksGetACacheAndUncompressedNone) {
  RunFile chopper(data("chopper.nxs"));
  EXPECT_TRUE(chopper.plan().chunked);
  EXPECT_TRUE(chopper.plan().filtered);
  EXPECT_TRUE(chopper.plan().whole_numbers);
  EXPECT_EQ(chopper.plan().chunk_spectra, 1);
  EXPECT_EQ(chopper.plan().block_spectra, 148); // the whole run fits one block
  EXPECT_GT(chopper.plan().chunk_cache_bytes, 0U);
  EXPECT_EQ(chopper.plan().cache_in_effect, chopper.plan().chunk_cache_bytes);
  EXPECT_LE(chopper.plan().block_bytes, bantrisk::dataaccess::block_target_bytes);
  EXPECT_EQ(chopper.plan().signal_path, "/entry/data/data");
  EXPECT_EQ(chopper.plan().boundaries_path, "/entry/data/time_of_flight");

  RunFile contiguous(data("float64_counts.nxs"));
  EXPECT_FALSE(contiguous.plan().chunked);
  EXPECT_FALSE(contiguous.plan().whole_numbers);
  EXPECT_EQ(contiguous.plan().chunk_cache_bytes, 0U);
}

// Only 32-bit whole numbers, plain or deflated, in chunks spanning every channel are read as
// stored chunks; their integrals are checked with every other file's by the whole-pass tests.
TEST(ReadPlan, StoredChunksReadDirectlyOnlyWhereTheyFit) {
  const std::vector<std::pair<const char *, bool>> cases{
      {"gzip.nxs", true},           {"roundtrip.nxs", true},       {"corrupt_chunk.nxs", true},
      {"gzip_split.nxs", false},    {"float64_counts.nxs", false}, {"int64_counts.nxs", false},
      {"uint16_counts.nxs", false}, {"periods.nxs", false}};
  for (const auto &[file, direct] : cases) {
    EXPECT_EQ(RunFile(data(file)).plan().direct_chunks, direct) << file;
  }
}

} // namespace

// Files whose damage makes the HDF5 library itself crash, loop or exhaust memory while they are
// opened (found by fuzzing the opener): each is refused like any other bad run file, and the
// program goes on.
TEST(DamagedFile, RefusedWithoutTakingTheProgramDown) {
  const std::filesystem::path folder = std::filesystem::path(BANTRISK_NEXUS_DATA) / "damaged";
  int files = 0;
  for (const auto &entry : std::filesystem::directory_iterator(folder)) {
    ++files;
    Session session;
    session.set_open_time_limit(2);
    session.mf_activate_session("MORLA", 0, 0);
    try {
      session.probe_source(entry.path().string());
      session.mf_select_source(entry.path().string());
      FAIL() << entry.path() << " was accepted";
    } catch (const RunFileError &err) {
      EXPECT_EQ(std::string(err.what()).rfind("** ERROR in run file " + entry.path().string(), 0),
                0U)
          << err.what();
    }
  }
  EXPECT_GE(files, 3);
}

TEST(DamagedFile, OpeningThatDoesNotFinishIsRefusedInTime) {
  Session session;
  session.set_open_time_limit(1);
  session.mf_activate_session("MORLA", 0, 0);
  const std::string file = std::string(BANTRISK_NEXUS_DATA) +
                           "/damaged/timeout-305136e1f0dca3198b3374fa0f5ba23305e64c08";
  try {
    session.probe_source(file);
    FAIL() << "accepted";
  } catch (const RunFileError &err) {
    EXPECT_NE(std::string(err.what()).find(": damaged file: reading it did not finish within 1 s"),
              std::string::npos)
        << err.what();
  }
}

// The probe's child: its time limit is kept by the parent, so a child that never finishes is
// ended even when SIGALRM is ignored; it leaves no child behind, holds none of the parent's
// descriptors (the folder locks among them), and a child that runs out of memory says so.
TEST(Probe, TimeLimitHoldsWhateverTheSignalsAndNoChildIsLeft) {
  const auto before = std::signal(SIGALRM, SIG_IGN);
  Session session;
  session.set_open_time_limit(1);
  session.set_probe_hook([] { ::sleep(60); });
  try {
    session.probe_source(data("gzip.nxs"));
    FAIL() << "a child that never finishes was not ended";
  } catch (const RunFileError &err) {
    EXPECT_NE(std::string(err.what()).find(": damaged file: reading it did not finish within 1 s"),
              std::string::npos)
        << err.what();
  }
  std::signal(SIGALRM, before);
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "a child was left";
}

TEST(Probe, ChildHoldsNoInheritedDescriptorAndRunsOutOfMemoryAsSuch) {
  const int opened = ::open(data_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(opened, 0);
  const int lock = ::fcntl(opened, F_DUPFD_CLOEXEC, 20); // above the child's own pipe
  ::close(opened);
  ASSERT_GE(lock, 20);
  Session session;
  // The child ends as "opened" only when the descriptor is closed in it.
  session.set_probe_hook([lock] {
    if (::fcntl(lock, F_GETFD) != -1) {
      ::_exit(3);
    }
  });
  EXPECT_NO_THROW(session.probe_source(data("gzip.nxs")));
  ::close(lock);
  session.set_probe_hook([] { throw std::bad_alloc(); });
  const std::string full = std::filesystem::absolute(data("gzip.nxs")).lexically_normal().string();
  try {
    session.probe_source(data("gzip.nxs"));
    FAIL() << "accepted";
  } catch (const RunFileError &err) {
    EXPECT_EQ(std::string(err.what()),
              "** ERROR in run file " + full + " : not enough memory to open it");
  }
  // A good file passes the probe and reads as usual afterwards; a refused one is refused by the
  // probe with the reason its opening gives.
  session.set_probe_hook({});
  EXPECT_NO_THROW(session.probe_source(data("gzip.nxs")));
  EXPECT_THROW(session.probe_source(data("unwritten_contiguous.nxs")), RunFileError);
}

// Real counts that are infinite or beyond the 64-bit range (made by make_damaged_files.py)
// reach the integration unchanged, which counts them as 0 and says so: 1e300 and -1e300 must
// not cancel to -1.
TEST(ChannelValues, InfiniteCountsAreCountedAsZeroAndNoted) {
  RunFile run(data("infinite_counts.nxs"));
  const std::vector<float> &b = run.boundaries();
  std::vector<double> y(run.channels() + 1);
  // Spectrum 1: 1e300, -1e300, 5, 0.5 (0.5 gives 1); spectrum 2: inf, -inf, 7, 1e300.
  for (const auto &[s, total] : {std::pair{1, 6}, std::pair{2, 7}}) {
    run.values(s, 1, run.channels() + 1, y.data());
    bantrisk::IntegrationNotes notes;
    EXPECT_EQ(bantrisk::integ_spec(b, y, run.channels(), &notes), total) << "spectrum " << s;
    EXPECT_TRUE(notes.out_of_range) << "spectrum " << s;
    EXPECT_FALSE(notes.clamped) << "spectrum " << s;
  }
}
