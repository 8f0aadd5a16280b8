// The picture of the detector: a known map rendered, the PNG read back at computed positions,
// the SVG parsed for its texts.
#include <cairo.h>
#include <expat.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/findings.hpp"
#include "driver/picture_file.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "map_builder.hpp"
#include "picture/picture.hpp"
#include "program_runner.hpp"

namespace bantrisk::picture {
namespace {

// Module indexes of the known map (bank 8 first, then banks 1 to 7, East before West).
constexpr int empty_module = 3; // 0U1
constexpr int dead_module = 20; // 3W1
constexpr int low_module = 28;  // 4E4
constexpr int high_module = 65; // 5W9
constexpr int odd_module = 5;   // 1E1: one dead, one low and one high spectrum

Description known_map() {
  Description d;
  d.source = "/runs/KRV01234.RAW";
  d.spectra = 980;
  d.date = "2026-12-09 18:30";
  d.low_limit = {0, 0.1f, 0.25f, 0.44f, 0.55f, 0.75f, 0.44f, 0.1f, 0.2f};
  d.high_limit = {0, 1.9f, 2.5f, 1.64f, 1.65f, 1.25f, 1.64f, 1.64f, 1.64f};
  d.low_fraction = 0.3f;
  d.high_fraction = 1.5f;
  const int ideal = ideal_number_of_modules(d.modules_per_side);
  for (int i = 1; i <= ideal; ++i) {
    int bank = 0, side = 0, module = 0;
    index2module(d.modules_per_side, i, bank, side, module);
    Module m;
    std::string label = module_label(bank, side, module);
    m.label = label.substr(0, label.find_last_not_of(' ') + 1);
    m.status = i == dead_module   ? Status::dead
               : i == low_module  ? Status::low
               : i == high_module ? Status::high
                                  : Status::ok;
    if (i != empty_module)
      m.cells.assign(
          10, Cell{i == dead_module ? 0.0f : 1.0f, i == dead_module ? Mark::dead : Mark::ok});
    d.modules.push_back(m);
  }
  auto &odd = d.modules[odd_module - 1].cells;
  odd[2] = {0.0f, Mark::dead};
  odd[5] = {0.15f, Mark::low};
  odd[7] = {4.0f, Mark::high};
  d.modules[empty_module - 1].status = Status::empty;
  return d;
}

struct Pixel {
  int r, g, b;
};

class Png {
public:
  explicit Png(const std::string &bytes) : bytes_(bytes) {
    surface_ = cairo_image_surface_create_from_png_stream(read, this);
  }
  ~Png() { cairo_surface_destroy(surface_); }
  Png(const Png &) = delete;
  Png &operator=(const Png &) = delete;
  bool ok() const { return cairo_surface_status(surface_) == CAIRO_STATUS_SUCCESS; }
  int width() const { return cairo_image_surface_get_width(surface_); }
  int height() const { return cairo_image_surface_get_height(surface_); }
  // The pixel under a point in drawing units.
  Pixel at(double x, double y) const {
    const int px = static_cast<int>(std::floor(x * png_scale));
    const int py = static_cast<int>(std::floor(y * png_scale));
    const unsigned char *row =
        cairo_image_surface_get_data(surface_) + py * cairo_image_surface_get_stride(surface_);
    std::uint32_t v = 0;
    std::memcpy(&v, row + 4 * px, 4);
    return {static_cast<int>((v >> 16) & 0xFF), static_cast<int>((v >> 8) & 0xFF),
            static_cast<int>(v & 0xFF)};
  }

private:
  static cairo_status_t read(void *closure, unsigned char *data, unsigned int length) {
    auto *self = static_cast<Png *>(closure);
    if (self->bytes_.size() - self->pos_ < length)
      return CAIRO_STATUS_READ_ERROR;
    std::memcpy(data, self->bytes_.data() + self->pos_, length);
    self->pos_ += length;
    return CAIRO_STATUS_SUCCESS;
  }
  std::string bytes_;
  std::size_t pos_ = 0;
  cairo_surface_t *surface_ = nullptr;
};

bool is_black(Pixel p) {
  return p.r < 40 && p.g < 40 && p.b < 40;
}
bool is_white(Pixel p) {
  return p.r > 235 && p.g > 235 && p.b > 235;
}
bool is_blue(Pixel p) {
  return p.b > p.r + 80 && p.b > p.g + 30;
}
bool is_orange(Pixel p) {
  return p.r > p.b + 120 && p.r > p.g + 60;
}
bool is_grey(Pixel p) {
  return std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}) < 12 && p.r > 80 && p.r < 200;
}

TEST(Picture, PngShowsModuleStatusAndSpectraAtTheirTiles) {
  const Description d = known_map();
  const Layout l = layout_of(d);
  const Png png(render(d, Format::png));
  ASSERT_TRUE(png.ok());
  EXPECT_GE(png.width(), 1000);
  EXPECT_GE(png.height(), 600);
  EXPECT_EQ(png.width(), static_cast<int>(std::ceil(l.width * png_scale)));

  auto tile = [&](int index) { return l.tiles[static_cast<std::size_t>(index - 1)]; };
  auto cell = [&](int index, int k) {
    return l.cells[static_cast<std::size_t>(index - 1)][static_cast<std::size_t>(k)];
  };
  // A point on the left edge of a tile's frame, and the centre of a cell.
  auto on_frame = [&](int index) { return std::pair{tile(index).x + 0.5, tile(index).cy()}; };
  auto in_cell = [&](int index, int k) {
    return std::pair{cell(index, k).cx(), cell(index, k).cy()};
  };
  const struct {
    const char *what;
    std::pair<double, double> at;
    std::function<bool(Pixel)> expected;
  } probes[] = {
      {"frame of the dead module", on_frame(dead_module), is_black},
      {"dead module's spectrum", in_cell(dead_module, 4), is_black},
      {"frame of the low module", on_frame(low_module), is_blue},
      {"frame of the high module", on_frame(high_module), is_orange},
      {"frame of an ok module", on_frame(odd_module), is_grey},
      {"spectrum at the module average", in_cell(low_module, 0), is_white},
      {"dead spectrum", in_cell(odd_module, 2), is_black},
      {"low spectrum", in_cell(odd_module, 5), is_blue},
      {"high spectrum", in_cell(odd_module, 7), is_orange},
      {"inside the module without spectra",
       {tile(empty_module).cx(), tile(empty_module).cy()},
       is_white},
  };
  for (const auto &p : probes) {
    const Pixel px = png.at(p.at.first, p.at.second);
    EXPECT_TRUE(p.expected(px)) << p.what << ": rgb " << px.r << " " << px.g << " " << px.b;
  }
  // The low and high spectra are outlined just inside their cells; an ok spectrum is not.
  for (int k : {5, 7, 0})
    EXPECT_EQ(is_black(png.at(cell(odd_module, k).x + 0.6, cell(odd_module, k).cy())), k != 0) << k;
}

bool same(Pixel a, Pixel b) {
  return a.r == b.r && a.g == b.g && a.b == b.b;
}

// Every sample of the legend is drawn as the map draws its state, and the colour bar shows the
// very colours of the cells.
TEST(Picture, LegendSamplesAsTheMapDrawsThem) {
  Description d = known_map();
  // A module of many low spectra, whose cells are too small for an outline.
  const int crowded = 40; // 4W5
  d.modules[crowded - 1].cells.assign(400, Cell{0.5f, Mark::low});
  const Layout l = layout_of(d);
  const Png png(render(d, Format::png));
  ASSERT_TRUE(png.ok());
  const auto tile = [&](int index) { return l.tiles[static_cast<std::size_t>(index - 1)]; };
  const auto cell = [&](int index, int k) {
    return l.cells[static_cast<std::size_t>(index - 1)][static_cast<std::size_t>(k)];
  };
  const auto at = [&](const Rect &r) { return png.at(r.cx(), r.cy()); };
  // On the top edge of a frame, where a dashed frame starts with a dash.
  const auto on_frame = [&](const Rect &r) { return png.at(r.x + 1.5, r.y + 0.5); };

  ASSERT_EQ(l.module_samples.size(), std::size(legend_statuses));
  const std::map<Status, int> tile_of = {{Status::ok, odd_module},
                                         {Status::low, low_module},
                                         {Status::high, high_module},
                                         {Status::dead, dead_module},
                                         {Status::empty, empty_module}};
  for (std::size_t k = 0; k < l.module_samples.size(); ++k) {
    const Status status = legend_statuses[k];
    const int index = tile_of.at(status);
    const Rect &sample = l.module_samples[k];
    EXPECT_TRUE(same(on_frame(sample), on_frame(tile(index)))) << "frame of sample " << k;
    // The sample's cells are at the module average, or dead in a dead module.
    const Pixel inside = l.module_sample_cells[k].empty() ? png.at(sample.cx(), sample.cy())
                                                          : at(l.module_sample_cells[k][0]);
    const Pixel map_inside =
        status == Status::empty ? png.at(tile(index).cx(), tile(index).cy()) : at(cell(index, 0));
    EXPECT_TRUE(same(inside, map_inside)) << "inside sample " << k;
  }

  ASSERT_EQ(l.spectrum_samples.size(), std::size(legend_marks));
  const auto bar = [&](double ratio) {
    return png.at(scale_x(l.scale_bar, ratio), l.scale_bar.cy());
  };
  for (std::size_t k = 0; k < l.spectrum_samples.size(); ++k) {
    const MarkSample m = legend_marks[k];
    const Rect &sample = l.spectrum_samples[k];
    EXPECT_EQ(sample.w >= min_outlined_cell, !m.small) << k;
    if (m.mark == Mark::dead) {
      EXPECT_TRUE(same(at(sample), at(cell(odd_module, 2)))) << "dead sample";
    } else if (m.small) {
      // The end of the bar on the mark's side, as the crowded module's low cells show.
      EXPECT_TRUE(same(at(sample), bar(m.mark == Mark::low ? 0.1 : 10))) << k;
      if (m.mark == Mark::low) {
        EXPECT_TRUE(same(at(sample), at(cell(crowded, 37)))) << "small low cell";
      }
    } else {
      EXPECT_TRUE(is_black(png.at(sample.x + 0.6, sample.cy()))) << "outline of sample " << k;
    }
  }
  // A cell takes the colour the bar shows for its ratio's step.
  const auto step = [](float ratio) { return std::pow(10.0, scale_step(ratio)); };
  EXPECT_TRUE(same(at(cell(odd_module, 5)), bar(step(0.15f)))) << "low spectrum";
  EXPECT_TRUE(same(at(cell(odd_module, 7)), bar(step(4.0f)))) << "high spectrum";
  EXPECT_TRUE(same(at(cell(low_module, 3)), bar(1.0))) << "spectrum at the average";
  EXPECT_FALSE(same(bar(step(0.15f)), bar(step(0.2f)))) << "the steps are apart";
}

// The share of the cells' area of a tile that is black in the PNG.
double black_share(const Png &png, const Rect &tile) {
  const double inset = frame_width + 1;
  int black = 0, all = 0;
  for (double y = tile.y + inset + 0.3; y < tile.y + tile.h - inset; y += 1.0 / png_scale)
    for (double x = tile.x + inset + 0.3; x < tile.x + tile.w - inset; x += 1.0 / png_scale) {
      ++all;
      black += is_black(png.at(x, y)) ? 1 : 0;
    }
  return all == 0 ? 0 : static_cast<double>(black) / all;
}

// Only a dead tile looks dead, however many spectra a module has and however many of them are
// low or high.
TEST(Picture, OnlyDeadTilesLookDead) {
  Description d = known_map();
  const struct {
    int index;
    std::size_t cells;
    Cell cell;
    Status status;
  } tiles[] = {
      {6, 2000, {0.05f, Mark::low}, Status::low},  // 1E2: thousands of low spectra
      {7, 70, {5.0f, Mark::high}, Status::high},   // 1E3: every one of 70 spectra high
      {8, 12, {0.3f, Mark::low}, Status::ok},      // 1W1: large cells, all outlined
      {9, 3000, {1.0f, Mark::ok}, Status::ok},     // 1W2: cells smaller than a pixel
      {10, 3000, {0.0f, Mark::dead}, Status::dead} // 1W3: dead
  };
  for (const auto &t : tiles) {
    d.modules[static_cast<std::size_t>(t.index - 1)].cells.assign(t.cells, t.cell);
    d.modules[static_cast<std::size_t>(t.index - 1)].status = t.status;
  }
  const Layout l = layout_of(d);
  const Png png(render(d, Format::png));
  ASSERT_TRUE(png.ok());
  for (const auto &t : tiles) {
    const double share = black_share(png, l.tiles[static_cast<std::size_t>(t.index - 1)]);
    if (t.status == Status::dead)
      EXPECT_GT(share, 0.99) << t.index;
    else
      EXPECT_LT(share, t.cells == 12 ? 0.4 : 0.01) << t.index;
  }
}

TEST(Picture, TilesFollowTheInstrumentRowBySide) {
  const Description d = known_map();
  const Layout l = layout_of(d);
  const int ideal = ideal_number_of_modules(d.modules_per_side);
  ASSERT_EQ(l.tiles.size(), static_cast<std::size_t>(ideal));
  for (int i = 1; i <= ideal; ++i) {
    int bank = 0, side = 0, module = 0;
    index2module(d.modules_per_side, i, bank, side, module);
    const Rect &t = l.tiles[static_cast<std::size_t>(i - 1)];
    EXPECT_EQ(t.y, l.row_y[static_cast<std::size_t>(nbank18(bank))]) << i;
    EXPECT_TRUE(t.x >= 0 && t.x + t.w <= l.width && t.y + t.h < l.legend.y) << i;
    for (const Rect &c : l.cells[static_cast<std::size_t>(i - 1)])
      EXPECT_TRUE(c.x >= t.x + frame_width && c.x + c.w <= t.x + t.w - frame_width + 1e-9 &&
                  c.y >= t.y + frame_width && c.y + c.h <= t.y + t.h - frame_width + 1e-9)
          << i;
    // The next module of the side (or, in bank 8, the next side) stands to the right.
    if (i < ideal) {
      int nb = 0, ns = 0, nm = 0;
      index2module(d.modules_per_side, i + 1, nb, ns, nm);
      if (nb == bank) {
        EXPECT_GE(l.tiles[static_cast<std::size_t>(i)].x, t.x + t.w) << i;
      }
    }
  }
  EXPECT_LT(l.row_y[8], l.row_y[1]);
  for (int slot = 2; slot <= 7; ++slot)
    EXPECT_GT(l.row_y[static_cast<std::size_t>(slot)], l.row_y[static_cast<std::size_t>(slot - 1)]);
}

// The texts of an SVG document, or the parser's complaint.
struct SvgTexts {
  std::string root, error;
  std::vector<std::string> texts;
  int depth = 0, in_text = 0;
};

SvgTexts parse_svg(const std::string &svg) {
  SvgTexts out;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &out);
  XML_SetElementHandler(
      parser,
      [](void *u, const XML_Char *name, const XML_Char **) {
        auto *o = static_cast<SvgTexts *>(u);
        if (o->depth++ == 0)
          o->root = name;
        if (std::string(name) == "text") {
          o->in_text += 1;
          o->texts.emplace_back();
        }
      },
      [](void *u, const XML_Char *name) {
        auto *o = static_cast<SvgTexts *>(u);
        o->depth -= 1;
        if (std::string(name) == "text")
          o->in_text -= 1;
      });
  XML_SetCharacterDataHandler(parser, [](void *u, const XML_Char *s, int len) {
    auto *o = static_cast<SvgTexts *>(u);
    if (o->in_text > 0)
      o->texts.back().append(s, static_cast<std::size_t>(len));
  });
  if (XML_Parse(parser, svg.data(), static_cast<int>(svg.size()), 1) == XML_STATUS_ERROR)
    out.error = XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  return out;
}

TEST(Picture, SvgParsesAndNamesEveryModule) {
  Description d = known_map();
  // A hostile source name: markup characters, a control character and bytes that are not UTF-8.
  d.source = "/runs/a&b<c>\"d\"\x01\xff\xfe.RAW";
  d.counts.dead_in_no_module = 2;
  const std::string bytes = render(d, Format::svg);
  // Each colour's cells, the outlines and each kind of frame are one path each.
  EXPECT_LT(testing::occurrences(bytes, "<path"), 120) << "paths, for 970 cells";
  const SvgTexts svg = parse_svg(bytes);
  ASSERT_EQ(svg.error, "");
  EXPECT_EQ(svg.root, "svg");
  const std::set<std::string> texts(svg.texts.begin(), svg.texts.end());
  for (const Module &m : d.modules)
    EXPECT_EQ(texts.count(m.label), 1u) << m.label;
  EXPECT_EQ(texts.count("/runs/a&b<c>\"d\"?\uFFFD\uFFFD.RAW"), 1u);
  EXPECT_EQ(texts.count("980 spectra, checked 2026-12-09 18:30"), 1u);
  EXPECT_EQ(texts.count("2 dead spectra in no module"), 1u);
}

TEST(Picture, FormatFromTheFileName) {
  const struct {
    const char *name;
    std::optional<Format> format;
  } cases[] = {
      {"modules.png", Format::png}, {"dir/Modules.SVG", Format::svg},
      {"a.svg.png", Format::png},   {"modules.pdf", std::nullopt},
      {"png", std::nullopt},        {"pic.png/x", std::nullopt},
      {"modules.", std::nullopt},
  };
  for (const auto &c : cases)
    EXPECT_EQ(format_of(c.name), c.format) << c.name;
}

} // namespace
} // namespace bantrisk::picture

namespace bantrisk::testing {
namespace {

// Bank 3 of a known map through the checks: each module's status and each spectrum's mark in
// the picture are the ones the checks found.
TEST(PictureOfACheck, ModulesAndCellsAsTheChecksFoundThem) {
  using picture::Mark;
  using picture::Status;
  MapBuilder b;
  const std::vector<std::vector<std::int32_t>> counts = {
      {100, 100, 100, 100}, // 3E1 ok
      {0, 0, 0, 0},         // 3E2 dead
      {10, 10, 10, 10},     // 3E3 low against the bank
      {300, 300, 300, 300}, // 3E4 high against the bank
      {100, 0, 5, 400},     // 3E5 ok, with a dead, a low and a high spectrum
  };
  std::int32_t s = 0;
  for (std::size_t m = 0; m < counts.size(); ++m)
    for (const std::int32_t c : counts[m]) {
      b.add(301000 + 1000 * static_cast<std::int32_t>(m) + (s % 4), s + 1, c);
      ++s;
    }
  // A dead spectrum in no module (element group 2), and one in none of the map's entries.
  b.add(301200, ++s, 0);
  RunState &run = *b.state;
  run.spectra = ++s;
  run.analysed = s;
  b.list_zero_counts();
  run_section(run, "0\n", dead_spectra_section);
  run_section(run, "\n\n9\n", low_high_section);
  const Findings findings = gather_findings(run);
  const picture::Description d = describe_picture(findings, run, 7, 2, "today");

  const auto ok = Mark::ok;
  const struct {
    int index;
    Status status;
    std::vector<Mark> marks;
  } modules[] = {
      {15, Status::ok, {ok, ok, ok, ok}},
      {16, Status::dead, {Mark::dead, Mark::dead, Mark::dead, Mark::dead}},
      {17, Status::low, {ok, ok, ok, ok}},
      {18, Status::high, {ok, ok, ok, ok}},
      {19, Status::ok, {ok, Mark::dead, Mark::low, Mark::high}},
      {20, Status::empty, {}}, // 3W1 has no spectra in the map
  };
  ASSERT_EQ(d.modules.size(), 98u);
  for (const auto &m : modules) {
    const picture::Module &pm = d.modules[static_cast<std::size_t>(m.index - 1)];
    EXPECT_EQ(pm.status, m.status) << m.index;
    std::vector<Mark> marks;
    for (const picture::Cell &c : pm.cells)
      marks.push_back(c.mark);
    EXPECT_EQ(marks, m.marks) << m.index;
  }
  EXPECT_EQ(d.modules[19 - 1].label, "3E5");
  EXPECT_FLOAT_EQ(d.modules[19 - 1].cells[3].ratio, 400.0f / (505.0f / 3));
  const picture::Counts &c = d.counts;
  EXPECT_EQ(
      std::vector<std::int32_t>({c.dead_spectra, c.dead_in_no_module, c.dead_modules, c.low_modules,
                                 c.high_modules, c.low_spectra, c.high_spectra}),
      std::vector<std::int32_t>({5, 2, 1, 1, 1, 1, 1}));
  EXPECT_EQ(c.masked, 7);
  EXPECT_TRUE(c.mask_low_high);
}

// The SVG without the texts that name the file checked and the time of the check, and without
// the drawing library's serial number of the surface.
std::string without_source_and_date(const std::string &svg, const std::string &source) {
  std::istringstream in(svg);
  std::string kept;
  for (std::string line; std::getline(in, line);)
    if (line.find(">" + source + "</text>") == std::string::npos &&
        line.find(" spectra, checked ") == std::string::npos &&
        line.rfind("<g id=\"surface", 0) == std::string::npos)
      kept += line + "\n";
  return kept;
}

// After the demo's dialogue, a check of the run and a check of the integrals it saved draw the
// same picture, but for the name of the file checked and the date.
TEST(PictureOfACheck, SameFromTheRunAndFromItsSavedIntegrals) {
  ScratchDir scratch;
  make_demo(scratch);
  const std::string env = demo_env(scratch);
  write_file("answers", "1\n\n\n\n1234\n\n0\n\n\n9\n1\n0\n\n");
  ASSERT_EQ(run_in(scratch, env, shell_quoted(BANTRISK_BINARY), "answers"), 0);
  const std::string check = shell_quoted(BANTRISK_BINARY) + " check --quiet ";
  // The font library's own complaints follow --quiet too.
  ASSERT_EQ(run_in(scratch, env + " FONTCONFIG_FILE=/nonexistent",
                   check + "--run 1234 --picture run.svg --picture run.png"),
            0)
      << read_file(".errors");
  EXPECT_EQ(read_file(".errors"), "");
  // A picture that cannot be made ends the check before it starts: nothing is written.
  ASSERT_EQ(run_in(scratch, env,
                   check + "--integrals bantrisk.ans --picture saved.svg --picture none/x.png"),
            1);
  EXPECT_EQ(read_file(".errors"), "bantrisk: --picture: cannot create " + scratch.str() +
                                      "/none/x.png: No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists("saved.svg"));
  ASSERT_EQ(run_in(scratch, env, check + "--integrals bantrisk.ans --picture saved.svg"), 0);
  const std::string run = read_file("run.svg");
  const std::string saved = read_file("saved.svg");
  ASSERT_NE(run.find("<text"), std::string::npos);
  EXPECT_NE(run.find(">3W1</text>"), std::string::npos);
  EXPECT_TRUE(without_source_and_date(run, scratch.str() + "/raw/KRV01234.RAW") ==
              without_source_and_date(saved, scratch.str() + "/bantrisk.ans"));
  EXPECT_EQ(read_file("run.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  // The demo's SVG was 1635305 bytes when every cell was a path of its own.
  EXPECT_LT(run.size(), 1635305U / 4);
}

} // namespace
} // namespace bantrisk::testing

namespace bantrisk::picture {
namespace {

// Hard-masked spectra are grey cells and varying ones crossed, each with its legend line, only
// in a picture of a check that has them.
TEST(Picture, HardMaskedGreyAndVaryingCrossedWithTheirLegend) {
  Description d = known_map();
  EXPECT_TRUE(layout_of(d).further_samples.empty());
  const double plain_height = layout_of(d).height;
  auto &cells = d.modules[odd_module - 1].cells;
  cells[0].mark = Mark::hard_masked;
  cells[9].varying = true;
  d.counts.hard_masked = 1;
  d.counts.varying = 1;
  const Layout l = layout_of(d);
  ASSERT_EQ(l.further_samples.size(), 2u);
  EXPECT_GT(l.height, plain_height);
  const Png png(render(d, Format::png));
  ASSERT_TRUE(png.ok());
  const Rect &masked = l.cells[odd_module - 1][0];
  const Rect &varying = l.cells[odd_module - 1][9];
  const Rect &ok = l.cells[odd_module - 1][8];
  EXPECT_TRUE(is_grey(png.at(masked.cx(), masked.cy())));
  EXPECT_TRUE(is_grey(png.at(l.further_samples[0].cx(), l.further_samples[0].cy())));
  // The diagonals cross in the middle of the cell; an ok cell beside it stays plain.
  EXPECT_FALSE(is_white(png.at(varying.cx(), varying.cy())));
  EXPECT_FALSE(is_white(png.at(l.further_samples[1].cx(), l.further_samples[1].cy())));
  EXPECT_TRUE(is_white(png.at(ok.cx(), ok.cy())));
  const std::string svg = render(d, Format::svg);
  for (const char *text : {"spectrum of the hard mask", "spectrum varying against the reference",
                           "Hard-masked spectra", "Varying spectra"})
    EXPECT_NE(svg.find(text), std::string::npos) << text;
}

} // namespace
} // namespace bantrisk::picture
