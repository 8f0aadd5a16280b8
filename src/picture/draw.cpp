// Drawing the picture with cairo. One routine draws everything on a cairo context whatever the
// surface; the PNG and SVG outputs only choose the surface. In the SVG the texts are written as
// text elements (searchable, and readable by other programs) instead of glyph outlines.
#include <cairo-svg.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <glib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

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
// The scale runs over ratios 0.1 to 10, evenly in the logarithm.
constexpr double scale_decades = 1.0;

constexpr Rgb black{0, 0, 0};
constexpr Rgb white{1, 1, 1};
constexpr Rgb ink = rgb255(34, 34, 34);
constexpr Rgb grey = rgb255(140, 140, 140);
constexpr Rgb light_grey = rgb255(200, 200, 200);
constexpr Rgb low_colour = rgb255(33, 102, 172);
constexpr Rgb high_colour = rgb255(230, 97, 1);

const char *const font = "DejaVu Sans";
constexpr double outline_width = 1.2;

double scale_position(float ratio) {
  if (std::isnan(ratio))
    return 0;
  if (!(ratio > 0))
    return -1;
  return std::clamp(std::log10(static_cast<double>(ratio)) / scale_decades, -1.0, 1.0);
}

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

// A line of width w drawn just outside the rectangle.
void outline_rect(cairo_t *cr, const Rect &r, const Rgb &c, double w) {
  cairo_set_source_rgb(cr, c.r, c.g, c.b);
  cairo_set_line_width(cr, w);
  cairo_rectangle(cr, r.x - w / 2, r.y - w / 2, r.w + w, r.h + w);
  cairo_stroke(cr);
}

void draw_frame(cairo_t *cr, const Rect &tile, Status status) {
  switch (status) {
  case Status::empty: {
    const double dash[] = {3.0, 3.0};
    cairo_set_dash(cr, dash, 2, 0);
    frame_rect(cr, tile, light_grey, 1);
    cairo_set_dash(cr, nullptr, 0, 0);
    break;
  }
  case Status::ok:
    frame_rect(cr, tile, grey, 1);
    break;
  case Status::dead:
    frame_rect(cr, tile, black, frame_width);
    break;
  case Status::low:
    frame_rect(cr, tile, low_colour, frame_width);
    break;
  case Status::high:
    frame_rect(cr, tile, high_colour, frame_width);
    break;
  }
}

void draw_cells(cairo_t *cr, const Module &m, const std::vector<Rect> &cells) {
  const std::size_t n = std::min(m.cells.size(), cells.size());
  for (std::size_t k = 0; k < n; ++k) {
    const Cell &c = m.cells[k];
    // Each cell reaches a little under its right and lower neighbours, so no seam of background
    // shows between cells whose edges fall between pixels.
    const Rect r{cells[k].x, cells[k].y, cells[k].w + 0.5, cells[k].h + 0.5};
    fill_rect(cr, r, c.mark == Mark::dead ? black : scale_colour(scale_position(c.ratio)));
  }
  // Outlines last and outside the cell, so no neighbour covers them and the cell keeps its
  // colour.
  for (std::size_t k = 0; k < n; ++k) {
    const Mark mark = m.cells[k].mark;
    if (mark == Mark::low || mark == Mark::high)
      outline_rect(cr, cells[k], black, outline_width);
  }
}

void draw_title(Texts &tx, const Description &d, const Rect &r) {
  const std::string head = "Detector modules of ";
  const double head_w = tx.width(head, 22, true);
  tx.show(r.x, r.y + 24, head, 22, Anchor::start, true);
  tx.show(r.x + head_w, r.y + 24, tx.fitted(d.source, 22, true, r.w - head_w), 22, Anchor::start,
          true);
  tx.show(r.x, r.y + 48, std::to_string(d.spectra) + " spectra, checked " + d.date, 15);
}

void draw_modules(cairo_t *cr, Texts &tx, const Description &d, const Layout &l) {
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
    fill_rect(cr, tile, white);
    draw_cells(cr, m, l.cells[k]);
    draw_frame(cr, tile, m.status);
    const bool odd =
        m.status == Status::dead || m.status == Status::low || m.status == Status::high;
    tx.show(tile.cx(), tile.y - 4, m.label, 13, Anchor::middle, odd);
  }
}

void draw_legend(cairo_t *cr, Texts &tx, const Description &d, const Rect &r) {
  // The colour scale, with the spectrum limits of every bank beneath it.
  const double bar_x = r.x + 64, bar_w = 420, bar_y = r.y + 24, bar_h = 16;
  auto at = [&](double ratio) {
    return bar_x + (scale_position(static_cast<float>(ratio)) + 1) / 2 * bar_w;
  };
  tx.show(r.x, r.y + 14, "Counts of each spectrum over its module's average", 14, Anchor::start,
          true);
  cairo_pattern_t *gradient = cairo_pattern_create_linear(bar_x, 0, bar_x + bar_w, 0);
  for (const Stop &s : scale)
    cairo_pattern_add_color_stop_rgb(gradient, (s.t + 1) / 2, s.c.r, s.c.g, s.c.b);
  cairo_rectangle(cr, bar_x, bar_y, bar_w, bar_h);
  cairo_set_source(cr, gradient);
  cairo_fill(cr);
  cairo_pattern_destroy(gradient);
  frame_rect(cr, {bar_x, bar_y, bar_w, bar_h}, grey, 1);
  for (double v : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0}) {
    const double x = at(v);
    cairo_set_source_rgb(cr, ink.r, ink.g, ink.b);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, x, bar_y + bar_h);
    cairo_line_to(cr, x, bar_y + bar_h + 4);
    cairo_stroke(cr);
    tx.show(x, bar_y + bar_h + 16, v < 1 ? number(v, 1) : number(v, 0), 13, Anchor::middle);
  }
  const double limits_y = bar_y + bar_h + 30;
  tx.show(r.x, limits_y, "Spectrum limits", 13, Anchor::start, true);
  for (int slot = 1; slot <= bank_slots; ++slot) {
    const double y = limits_y + 6 + slot * 15.0;
    const auto b = static_cast<std::size_t>(slot);
    const double lo = at(d.low_limit[b]), hi = at(d.high_limit[b]);
    tx.show(bar_x - 8, y + 4, "Bank " + std::to_string(slot), 13, Anchor::end);
    cairo_set_source_rgb(cr, light_grey.r, light_grey.g, light_grey.b);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, bar_x, y);
    cairo_line_to(cr, bar_x + bar_w, y);
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
    tx.show(bar_x + bar_w + 10, y + 4,
            legend_number(d.low_limit[b]) + " to " + legend_number(d.high_limit[b]), 13);
  }

  // What the frames and cells mean.
  const double key_x = bar_x + bar_w + 120;
  double y = r.y + 14;
  tx.show(key_x, y, "Module frames and spectra", 14, Anchor::start, true);
  const struct {
    Status status;
    std::string text;
  } frames[] = {
      {Status::ok, "module within its bank's fractions"},
      {Status::low,
       "module low: below " + legend_number(d.low_fraction) + " of its bank's average"},
      {Status::high,
       "module high: above " + legend_number(d.high_fraction) + " of its bank's average"},
      {Status::dead, "module dead: no counts at all"},
      {Status::empty, "module without spectra in the map"},
  };
  for (const auto &f : frames) {
    y += 22;
    const Rect sample{key_x, y - 13, 30, 18};
    fill_rect(cr, sample, white);
    draw_frame(cr, sample, f.status);
    tx.show(key_x + 40, y, f.text, 13);
  }
  y += 24;
  fill_rect(cr, {key_x + 9, y - 12, 12, 12}, black);
  tx.show(key_x + 40, y, "dead spectrum (no counts)", 13);
  y += 22;
  const Rect odd{key_x + 9, y - 12, 12, 12};
  fill_rect(cr, odd, scale_colour(scale_position(0.3f)));
  outline_rect(cr, odd, black, outline_width);
  tx.show(key_x + 40, y, "spectrum low or high against its bank's limits", 13);
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
  y += 22;
  tx.show(r.x, y, "Spectra masked", 14);
  tx.show(r.x + 200, y, c.masked ? std::to_string(*c.masked) : "no mask", 14, Anchor::end, true);
  if (c.masked)
    tx.show(r.x + 210, y, c.mask_low_high ? "dead, low and high spectra" : "dead spectra", 13);
}

void draw(cairo_t *cr, const Description &d, const Layout &l, std::string *svg_texts) {
  Texts tx(cr, svg_texts);
  fill_rect(cr, {0, 0, l.width, l.height}, white);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
  draw_title(tx, d, l.title);
  draw_modules(cr, tx, d, l);
  draw_legend(cr, tx, d, l.legend);
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

std::string render(const Description &d, Format format) {
  static const StaticDataRelease release;
  const Layout l = layout_of(d);
  return format == Format::png ? render_png(d, l) : render_svg(d, l);
}

} // namespace bantrisk::picture
