// Drawing the picture with cairo. One routine draws everything on a cairo context whatever the
// surface; the PNG and SVG outputs only choose the surface. In the SVG the texts are written as
// text elements (searchable, and readable by other programs) instead of glyph outlines.
#include <cairo-svg.h>
#include <cairo.h>
#include <fcntl.h>
#include <fontconfig/fontconfig.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "picture/draw.hpp"
#include "picture/picture.hpp"

namespace bantrisk::picture {

namespace {

struct Rgb {
  double r, g, b;
};

constexpr Rgb rgb255(int r, int g, int b) {
  return {r / 255.0, g / 255.0, b / 255.0};
}

// The diverging scale of counts over the module average: blue below 1, orange above, white at
// 1. Blue against orange stays distinct for the common colour-vision deficiencies, and both
// ends stay well apart from the black of dead spectra.
struct Stop {
  double t;
  Rgb c;
};
constexpr std::array<Stop, 5> scale{{{-1.0, rgb255(33, 102, 172)},
                                     {-0.5, rgb255(103, 169, 207)},
                                     {0.0, rgb255(247, 247, 247)},
                                     {0.5, rgb255(253, 184, 99)},
                                     {1.0, rgb255(230, 97, 1)}}};

constexpr Rgb black{0, 0, 0};
constexpr Rgb white{1, 1, 1};
constexpr Rgb ink = rgb255(34, 34, 34);
constexpr Rgb grey = rgb255(140, 140, 140);
constexpr Rgb light_grey = rgb255(200, 200, 200);
constexpr Rgb masked_grey = rgb255(168, 168, 168);
constexpr Rgb low_colour = rgb255(33, 102, 172);
constexpr Rgb high_colour = rgb255(230, 97, 1);

const char *const font = "DejaVu Sans";
constexpr double outline_width = 1.2;

// The colour at a position -1..1 of the scale.
Rgb scale_colour(double t) {
  for (std::size_t i = 1; i < scale.size(); ++i) {
    if (t <= scale[i].t || i + 1 == scale.size()) {
      const Stop &a = scale[i - 1];
      const Stop &b = scale[i];
      const double f = std::clamp((t - a.t) / (b.t - a.t), 0.0, 1.0);
      return {a.c.r + f * (b.c.r - a.c.r), a.c.g + f * (b.c.g - a.c.g),
              a.c.b + f * (b.c.b - a.c.b)};
    }
  }
  return scale.back().c;
}

bool has_room_for_outline(const Rect &cell) {
  return cell.w >= min_outlined_cell && cell.h >= min_outlined_cell;
}

// A cell's colour: black for a dead spectrum; a low or high spectrum in a cell too small for an
// outline takes the end of the scale on its side; every other spectrum the step of its ratio.
Rgb cell_colour(const Cell &c, const Rect &cell) {
  if (c.mark == Mark::dead)
    return black;
  if (c.mark == Mark::hard_masked)
    return masked_grey;
  if (!has_room_for_outline(cell) && c.mark == Mark::low)
    return scale_colour(-1);
  if (!has_room_for_outline(cell) && c.mark == Mark::high)
    return scale_colour(1);
  return scale_colour(scale_step(c.ratio));
}

// Texts are drawn as valid UTF-8 without control characters: anything else (a file name in
// another encoding) would put the cairo context in error or make the SVG unreadable. Bytes that
// are not UTF-8 become the replacement character, control characters '?'.
std::string printable(std::string_view s) {
  std::unique_ptr<gchar, decltype(&g_free)> valid(
      g_utf8_make_valid(s.data(), static_cast<gssize>(s.size())), g_free);
  std::string out(valid.get());
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      c = '?';
  return out;
}

std::string xml_escaped(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

std::string number(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// A fraction or limit in the legend: two decimals, or three digits and an exponent for a value
// whose decimals would run across the legend (a fraction of 1E30 given on the command line).
std::string legend_number(double v) {
  if (std::fabs(v) < 1e6)
    return number(v, 2);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3g", v);
  return buf;
}

std::string hex(const Rgb &c) {
  char buf[8];
  auto byte = [](double v) { return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", byte(c.r), byte(c.g), byte(c.b));
  return buf;
}

enum class Anchor { start, middle, end };

// Draws texts on the context, or collects them as SVG text elements when `svg` is set; the
// context measures them either way.
class Texts {
public:
  Texts(cairo_t *cr, std::string *svg) : cr_(cr), svg_(svg) {}

  double width(const std::string &text, double size, bool bold) {
    select(size, bold);
    cairo_text_extents_t e;
    cairo_text_extents(cr_, text.c_str(), &e);
    return e.x_advance;
  }

  // The text cut from the front, behind "...", until it fits `max_width`.
  std::string fitted(std::string text, double size, bool bold, double max_width) {
    text = printable(text);
    if (width(text, size, bold) <= max_width)
      return text;
    // No line of the picture holds more than a few hundred characters.
    std::size_t cut = text.size() > 400 ? text.size() - 400 : 0;
    while (cut < text.size()) {
      ++cut;
      while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        ++cut;
      const std::string shorter = "..." + text.substr(cut);
      if (width(shorter, size, bold) <= max_width)
        return shorter;
    }
    return "...";
  }

  void show(double x, double y, const std::string &raw, double size, Anchor anchor = Anchor::start,
            bool bold = false, Rgb colour = ink) {
    const std::string text = printable(raw);
    if (svg_ != nullptr) {
      static const char *const anchors[] = {"start", "middle", "end"};
      *svg_ += "<text x=\"" + number(x, 2) + "\" y=\"" + number(y, 2) + "\" font-size=\"" +
               number(size, 1) + "\" text-anchor=\"" + anchors[static_cast<int>(anchor)] + "\"" +
               (bold ? " font-weight=\"bold\"" : "") + " fill=\"" + hex(colour) + "\">" +
               xml_escaped(text) + "</text>\n";
      return;
    }
    const double w = width(text, size, bold);
    const double dx = anchor == Anchor::start ? 0 : anchor == Anchor::middle ? w / 2 : w;
    cairo_set_source_rgb(cr_, colour.r, colour.g, colour.b);
    cairo_move_to(cr_, x - dx, y);
    cairo_show_text(cr_, text.c_str());
  }

private:
  void select(double size, bool bold) {
    cairo_select_font_face(cr_, font, CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
  }
  cairo_t *cr_;
  std::string *svg_;
};

void fill_rect(cairo_t *cr, const Rect &r, const Rgb &c) {
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
  cairo_rectangle(cr, r.x, r.y, r.w, r.h);
  cairo_fill(cr);
}

// A frame of width w drawn inside the rectangle.
void frame_rect(cairo_t *cr, const Rect &r, const Rgb &c, double w) {
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
  cairo_set_line_width(cr, w);
  cairo_rectangle(cr, r.x + w / 2, r.y + w / 2, r.w - w, r.h - w);
  cairo_stroke(cr);
}

std::uint32_t key_of(const Rgb &c) {
  const auto byte = [](double v) {
    return static_cast<std::uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  };
  return byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b);
}

// The cells, outlines and frames of the map and of the legend's samples, gathered so that each
// colour's cells, all outlines and each kind of frame are drawn as one path: the SVG then holds
// a few dozen paths rather than one per cell.
class Marks {
public:
  // A module's tile: its cells in map order, then its frame.
  void tile(const Rect &tile, const Module &m, const std::vector<Rect> &cells) {
    this->cells(m.cells, cells);
    frames_[static_cast<std::size_t>(m.status)].push_back(tile);
  }

  // Cells next to each other in a row with the same colour become one rectangle.
  void cells(const std::vector<Cell> &marks, const std::vector<Rect> &cells) {
    const std::size_t n = std::min(marks.size(), cells.size());
    std::optional<std::pair<std::uint32_t, Rect>> run;
    for (std::size_t k = 0; k < n; ++k) {
      const Rect &r = cells[k];
      const Rgb colour = cell_colour(marks[k], r);
      const std::uint32_t key = key_of(colour);
      colours_[key] = colour;
      if (run && run->first == key && run->second.y == r.y && run->second.h == r.h &&
          std::abs(run->second.x + run->second.w - r.x) < 1e-9) {
        run->second.w = r.x + r.w - run->second.x;
      } else {
        if (run)
          fill(run->first, run->second);
        run.emplace(key, r);
      }
      if ((marks[k].mark == Mark::low || marks[k].mark == Mark::high) && has_room_for_outline(r))
        outlines_.push_back(r);
      if (marks[k].varying)
        crosses_.push_back(r);
    }
    if (run)
      fill(run->first, run->second);
  }

  void area(const Rect &r, const Rgb &colour) {
    colours_[key_of(colour)] = colour;
    fill(key_of(colour), r);
  }

  void draw(cairo_t *cr) const {
    for (const auto &[key, rects] : fills_) {
      const Rgb &c = colours_.at(key);
      cairo_new_path(cr);
      for (const Rect &r : rects)
        cairo_rectangle(cr, r.x, r.y, r.w, r.h);
      cairo_set_source_rgb(cr, c.r, c.g, c.b);
      cairo_fill(cr);
    }
    // Outlines inside their cells, so that no neighbour covers them and two outlined
    // neighbours keep their colours between the lines.
    stroke(cr, outlines_, black, outline_width);
    // A varying spectrum: its cell's two diagonals.
    if (!crosses_.empty()) {
      cairo_new_path(cr);
      for (const Rect &r : crosses_) {
        cairo_move_to(cr, r.x, r.y);
        cairo_line_to(cr, r.x + r.w, r.y + r.h);
        cairo_move_to(cr, r.x + r.w, r.y);
        cairo_line_to(cr, r.x, r.y + r.h);
      }
      cairo_set_source_rgb(cr, ink.r, ink.g, ink.b);
      cairo_set_line_width(cr, 1);
      cairo_stroke(cr);
    }
    const double dash[] = {3.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0);
    stroke(cr, frames_[static_cast<std::size_t>(Status::empty)], light_grey, 1);
    cairo_set_dash(cr, nullptr, 0, 0);
    stroke(cr, frames_[static_cast<std::size_t>(Status::ok)], grey, 1);
    stroke(cr, frames_[static_cast<std::size_t>(Status::dead)], black, frame_width);
    stroke(cr, frames_[static_cast<std::size_t>(Status::low)], low_colour, frame_width);
    stroke(cr, frames_[static_cast<std::size_t>(Status::high)], high_colour, frame_width);
  }

private:
  // Each rectangle reaches a little under its right and lower neighbours, so that no seam of
  // background shows between cells whose edges fall between pixels.
  void fill(std::uint32_t key, const Rect &r) {
    fills_[key].push_back({r.x, r.y, r.w + 0.5, r.h + 0.5});
  }

  static void stroke(cairo_t *cr, const std::vector<Rect> &rects, const Rgb &c, double w) {
    if (rects.empty())
      return;
    cairo_new_path(cr);
    for (const Rect &r : rects)
      cairo_rectangle(cr, r.x + w / 2, r.y + w / 2, r.w - w, r.h - w);
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
    cairo_set_line_width(cr, w);
    cairo_stroke(cr);
  }

  std::map<std::uint32_t, std::vector<Rect>> fills_;
  std::map<std::uint32_t, Rgb> colours_;
  std::vector<Rect> outlines_;
  std::vector<Rect> crosses_;
  std::array<std::vector<Rect>, 5> frames_;
};

void draw_title(Texts &tx, const Description &d, const Rect &r) {
  const std::string head = "Detector modules of ";
  const double head_w = tx.width(head, 22, true);
  tx.show(r.x, r.y + 24, head, 22, Anchor::start, true);
  tx.show(r.x + head_w, r.y + 24, tx.fitted(d.source, 22, true, r.w - head_w), 22, Anchor::start,
          true);
  tx.show(r.x, r.y + 48, std::to_string(d.spectra) + " spectra, checked " + d.date, 15);
}

void draw_modules(Marks &marks, Texts &tx, const Description &d, const Layout &l) {
  for (int slot = 1; slot <= bank_slots; ++slot) {
    const double y = l.row_y[static_cast<std::size_t>(slot)];
    tx.show(l.title.x, y + l.tile_height / 2 + 5, "Bank " + std::to_string(slot), 14, Anchor::start,
            true);
  }
  // The side headings stand above bank 1, whose first tile starts each side.
  const int first_west = ideal_number_of_modules(d.modules_per_side) > 0
                             ? module2index(d.modules_per_side, 1, 1, 1)
                             : 0;
  if (first_west >= 1 && static_cast<std::size_t>(first_west) <= l.tiles.size()) {
    const int first_east = module2index(d.modules_per_side, 1, 0, 1);
    const double y = l.row_y[1] - l.label_band - 5;
    tx.show(l.tiles[static_cast<std::size_t>(first_east - 1)].x, y, "East side", 13);
    tx.show(l.tiles[static_cast<std::size_t>(first_west - 1)].x, y, "West side", 13);
  }
  for (std::size_t k = 0; k < l.tiles.size(); ++k) {
    const Rect &tile = l.tiles[k];
    const Module empty;
    const Module &m = k < d.modules.size() ? d.modules[k] : empty;
    marks.tile(tile, m, l.cells[k]);
    const bool odd =
        m.status == Status::dead || m.status == Status::low || m.status == Status::high;
    tx.show(tile.cx(), tile.y - 4, m.label, 13, Anchor::middle, odd);
  }
}

// A module of the legend's samples: its cells at the module average, or dead in a dead module.
Module sample_module(Status status, std::size_t cells) {
  Module m;
  m.status = status;
  if (status != Status::empty)
    m.cells.assign(cells, status == Status::dead ? Cell{0.0f, Mark::dead} : Cell{});
  return m;
}

// A spectrum of the legend's samples, with a ratio beyond its bank's limits.
Cell sample_cell(Mark mark) {
  switch (mark) {
  case Mark::dead:
    return {0.0f, Mark::dead};
  case Mark::low:
    return {0.2f, Mark::low};
  case Mark::high:
    return {4.0f, Mark::high};
  case Mark::hard_masked:
    return {1.0f, Mark::hard_masked};
  case Mark::ok:
    break;
  }
  return {};
}

void draw_legend(cairo_t *cr, Marks &marks, Texts &tx, const Description &d, const Layout &l) {
  const Rect &r = l.legend;
  // The colour scale in its steps, as the cells take them, with the spectrum limits of every
  // bank beneath it.
  const Rect &bar = l.scale_bar;
  const double segments = 2.0 * scale_steps_per_decade + 1;
  for (int k = 0; k < static_cast<int>(segments); ++k) {
    const double t = (k - scale_steps_per_decade) / static_cast<double>(scale_steps_per_decade);
    const double w = bar.w / segments;
    marks.area({bar.x + k * w, bar.y, k + 1 < segments ? w : w - 0.5, bar.h - 0.5},
               scale_colour(t));
  }
  tx.show(r.x, r.y + 14, "Counts of each spectrum over its module's average", 14, Anchor::start,
          true);
  const auto at = [&bar](double ratio) { return scale_x(bar, ratio); };
  for (double v : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0}) {
    const double x = at(v);
    cairo_set_source_rgb(cr, ink.r, ink.g, ink.b);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, x, bar.y + bar.h);
    cairo_line_to(cr, x, bar.y + bar.h + 4);
    cairo_stroke(cr);
    tx.show(x, bar.y + bar.h + 16, v < 1 ? number(v, 1) : number(v, 0), 13, Anchor::middle);
  }
  const double limits_y = bar.y + bar.h + 30;
  tx.show(r.x, limits_y, "Spectrum limits", 13, Anchor::start, true);
  for (int slot = 1; slot <= bank_slots; ++slot) {
    const double y = limits_y + 6 + slot * 15.0;
    const auto b = static_cast<std::size_t>(slot);
    // A limit of 0 or less stands at the low end of the bar, as its spectra's colours do.
    const auto limit_x = [&](float v) { return v > 0 ? at(v) : at(0.1); };
    const double lo = limit_x(d.low_limit[b]), hi = limit_x(d.high_limit[b]);
    tx.show(bar.x - 8, y + 4, "Bank " + std::to_string(slot), 13, Anchor::end);
    cairo_set_source_rgb(cr, light_grey.r, light_grey.g, light_grey.b);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, bar.x, y);
    cairo_line_to(cr, bar.x + bar.w, y);
    cairo_stroke(cr);
    cairo_set_source_rgb(cr, ink.r, ink.g, ink.b);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, lo, y);
    cairo_line_to(cr, hi, y);
    cairo_stroke(cr);
    cairo_set_line_width(cr, 1.5);
    for (double x : {lo, hi}) {
      cairo_move_to(cr, x, y - 5);
      cairo_line_to(cr, x, y + 5);
    }
    cairo_stroke(cr);
    tx.show(bar.x + bar.w + 10, y + 4,
            legend_number(d.low_limit[b]) + " to " + legend_number(d.high_limit[b]), 13);
  }

  // What the frames and cells mean, each sample drawn as the map draws its state.
  const double key_x = l.module_samples.empty() ? r.x : l.module_samples.front().x;
  tx.show(key_x, r.y + 14, "Module frames and spectra", 14, Anchor::start, true);
  const auto status_text = [&d](Status status) -> std::string {
    switch (status) {
    case Status::ok:
      return "module within its bank's fractions";
    case Status::low:
      return "module low: below " + legend_number(d.low_fraction) + " of its bank's average";
    case Status::high:
      return "module high: above " + legend_number(d.high_fraction) + " of its bank's average";
    case Status::dead:
      return "module dead: no counts at all";
    case Status::empty:
      break;
    }
    return "module without spectra in the map";
  };
  for (std::size_t k = 0; k < l.module_samples.size() && k < std::size(legend_statuses); ++k) {
    const Status status = legend_statuses[k];
    marks.tile(l.module_samples[k], sample_module(status, l.module_sample_cells[k].size()),
               l.module_sample_cells[k]);
    tx.show(key_x + 40, l.module_samples[k].y + 15, status_text(status), 13);
  }
  for (std::size_t k = 0; k < l.spectrum_samples.size() && k < std::size(legend_marks); ++k) {
    const MarkSample &m = legend_marks[k];
    const Rect &cell = l.spectrum_samples[k];
    marks.cells({sample_cell(m.mark)}, {cell});
    if (m.small)
      continue;
    const double y = cell.cy() + 4;
    if (m.mark == Mark::dead)
      tx.show(key_x + 40, y, "dead spectrum (no counts)", 13);
    else
      tx.show(key_x + 40, y,
              m.mark == Mark::low
                  ? "spectrum low for its bank: outlined, or deepest blue if small"
                  : "spectrum high for its bank: outlined, or deepest orange if small",
              13);
  }
  std::size_t further = 0;
  const auto sample = [&](const Cell &cell, const std::string &text) {
    if (further >= l.further_samples.size())
      return;
    const Rect &r = l.further_samples[further++];
    marks.cells({cell}, {r});
    tx.show(key_x + 40, r.cy() + 4, text, 13);
  };
  if (d.counts.hard_masked)
    sample({1.0f, Mark::hard_masked}, "spectrum of the hard mask: left out of every average");
  if (d.counts.varying)
    sample({1.0f, Mark::ok, true}, "spectrum varying against the reference run: crossed");
}

void draw_counts(Texts &tx, const Description &d, const Rect &r) {
  const Counts &c = d.counts;
  const std::pair<const char *, std::int32_t> lines[] = {
      {"Dead spectra", c.dead_spectra}, {"Dead modules", c.dead_modules},
      {"Low modules", c.low_modules},   {"High modules", c.high_modules},
      {"Low spectra", c.low_spectra},   {"High spectra", c.high_spectra},
  };
  double y = r.y + 14;
  tx.show(r.x, y, "Found", 14, Anchor::start, true);
  for (const auto &[what, count] : lines) {
    y += 22;
    tx.show(r.x, y, what, 14);
    tx.show(r.x + 200, y, std::to_string(count), 14, Anchor::end, true);
  }
  // Spectra with zero counts that stand in no module appear nowhere in the map: they are
  // counted beside the dead spectra of the modules.
  if (c.dead_in_no_module > 0)
    tx.show(r.x + 210, r.y + 14 + 22,
            std::to_string(c.dead_in_no_module) +
                (c.dead_in_no_module == 1 ? " dead spectrum" : " dead spectra") + " in no module",
            13);
  const std::pair<const char *, std::optional<std::int32_t>> further[] = {
      {"Hard-masked spectra", c.hard_masked}, {"Varying spectra", c.varying}};
  for (const auto &[what, count] : further)
    if (count) {
      y += 22;
      tx.show(r.x, y, what, 14);
      tx.show(r.x + 200, y, std::to_string(*count), 14, Anchor::end, true);
    }
  y += 22;
  tx.show(r.x, y, "Spectra masked", 14);
  tx.show(r.x + 200, y, c.masked ? std::to_string(*c.masked) : "no mask", 14, Anchor::end, true);
  // A longer list of what the mask leaves out goes on a line of its own beneath.
  if (c.masked && !c.mask_spectra.empty())
    tx.show(r.x + 16, y + 18, c.mask_spectra + " spectra", 13);
  else if (c.masked)
    tx.show(r.x + 210, y, c.mask_low_high ? "dead, low and high spectra" : "dead spectra", 13);
}

void draw(cairo_t *cr, const Description &d, const Layout &l, std::string *svg_texts) {
  Texts tx(cr, svg_texts);
  fill_rect(cr, {0, 0, l.width, l.height}, white);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
  Marks marks;
  draw_title(tx, d, l.title);
  draw_modules(marks, tx, d, l);
  draw_legend(cr, marks, tx, d, l);
  marks.draw(cr);
  frame_rect(cr, l.scale_bar, grey, 1);
  draw_counts(tx, d, l.counts);
}

cairo_status_t append(void *closure, const unsigned char *data, unsigned int length) {
  static_cast<std::string *>(closure)->append(reinterpret_cast<const char *>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

struct SurfaceDeleter {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t *c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

void check(cairo_status_t status) {
  if (status != CAIRO_STATUS_SUCCESS)
    throw std::runtime_error(std::string("drawing failed: ") + cairo_status_to_string(status));
}

std::string render_png(const Description &d, const Layout &l) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24,
                                             static_cast<int>(std::ceil(l.width * png_scale)),
                                             static_cast<int>(std::ceil(l.height * png_scale))));
  check(cairo_surface_status(surface.get()));
  {
    Context cr(cairo_create(surface.get()));
    cairo_scale(cr.get(), png_scale, png_scale);
    draw(cr.get(), d, l, nullptr);
    check(cairo_status(cr.get()));
  }
  std::string bytes;
  check(cairo_surface_write_to_png_stream(surface.get(), append, &bytes));
  return bytes;
}

std::string render_svg(const Description &d, const Layout &l) {
  std::string bytes, texts;
  {
    Surface surface(cairo_svg_surface_create_for_stream(append, &bytes, l.width, l.height));
    check(cairo_surface_status(surface.get()));
    cairo_svg_surface_set_document_unit(surface.get(), CAIRO_SVG_UNIT_PX);
    Context cr(cairo_create(surface.get()));
    draw(cr.get(), d, l, &texts);
    check(cairo_status(cr.get()));
    cr.reset();
    cairo_surface_finish(surface.get());
    check(cairo_surface_status(surface.get()));
  }
  const auto end = bytes.rfind("</svg>");
  if (end == std::string::npos)
    throw std::runtime_error("drawing failed: no SVG document was made");
  bytes.insert(end, "<g font-family=\"DejaVu Sans, sans-serif\">\n" + texts + "</g>\n");
  return bytes;
}

// While the picture is drawn, standard error goes nowhere: the font library writes its
// complaints (a configuration it cannot read) there itself.
class SilencedErrors {
public:
  explicit SilencedErrors(bool silence) {
    if (!silence)
      return;
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0)
      ::dup2(null, STDERR_FILENO);
    else if (saved_ >= 0) {
      ::close(saved_);
      saved_ = -1;
    }
    if (null >= 0)
      ::close(null);
  }
  ~SilencedErrors() {
    if (saved_ < 0)
      return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  SilencedErrors(const SilencedErrors &) = delete;
  SilencedErrors &operator=(const SilencedErrors &) = delete;

private:
  int saved_ = -1;
};

// Cairo and the font library keep caches for the life of the process. They are released at
// exit, after the last picture, so that leak checkers see only the program's own memory.
struct StaticDataRelease {
  StaticDataRelease() = default;
  StaticDataRelease(const StaticDataRelease &) = delete;
  StaticDataRelease &operator=(const StaticDataRelease &) = delete;
  ~StaticDataRelease() {
    cairo_debug_reset_static_data();
    FcFini();
  }
};

} // namespace

std::string draw_picture(const Description &d, Format format) {
  static const StaticDataRelease release;
  const SilencedErrors silenced(d.quiet);
  const Layout l = layout_of(d);
  return format == Format::png ? render_png(d, l) : render_svg(d, l);
}

} // namespace bantrisk::picture
