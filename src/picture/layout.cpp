// Where the tiles, cells, title and legend of the picture go. Every size is derived here, so
// the drawing and the tests find a module's tile in the same place.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>

#include "picture/picture.hpp"

namespace bantrisk::picture {

namespace {

constexpr double page_width = 1600;
constexpr double margin = 24;
constexpr double title_height = 64;
constexpr double caption_width = 72; // "Bank 5" left of each row
constexpr double aisle = 24;         // between the East and the West side
constexpr double label_band = 16;    // module labels above the tiles
constexpr double tile_height = 84;
constexpr double tile_gap = 4;
constexpr double row_gap = 10;
constexpr double side_header = 20; // "East side" / "West side" above bank 1
constexpr double legend_height = 212;
constexpr double counts_width = 440;
constexpr double key_line = 22;                  // between the lines of the legend's key
constexpr std::size_t module_sample_spectra = 8; // the cells of a module's sample: 4 by 2

// Columns of the cell grid for n cells in a w by h area: the count that makes cells closest
// to square.
int grid_columns(std::size_t n, double w, double h) {
  int best = 1;
  double best_misfit = INFINITY;
  for (std::size_t c = 1; c <= n; ++c) {
    const double rows = std::ceil(static_cast<double>(n) / static_cast<double>(c));
    const double misfit = std::abs(std::log((w / static_cast<double>(c)) / (h / rows)));
    if (misfit < best_misfit) {
      best_misfit = misfit;
      best = static_cast<int>(c);
    }
  }
  return best;
}

std::vector<Rect> cell_grid(const Rect &tile, std::size_t n) {
  std::vector<Rect> cells;
  if (n == 0)
    return cells;
  const double inset = frame_width + 1;
  const Rect inner{tile.x + inset, tile.y + inset, tile.w - 2 * inset, tile.h - 2 * inset};
  const int columns = grid_columns(n, inner.w, inner.h);
  const auto rows = static_cast<int>((n + static_cast<std::size_t>(columns) - 1) /
                                     static_cast<std::size_t>(columns));
  const double cw = inner.w / columns;
  const double ch = inner.h / rows;
  cells.reserve(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto row = static_cast<int>(k / static_cast<std::size_t>(columns));
    const auto col = static_cast<int>(k % static_cast<std::size_t>(columns));
    cells.push_back({inner.x + col * cw, inner.y + row * ch, cw, ch});
  }
  return cells;
}

} // namespace

Layout layout_of(const Description &d) {
  const ModulesPerSide &t = d.modules_per_side;
  Layout l;
  l.width = page_width;
  l.tile_height = tile_height;
  l.label_band = label_band;

  // The widest side sets the pitch of every tile, so modules are the same size in every bank.
  int widest = 4; // bank 8's four one-module sides share its row
  for (int b = 1; b <= 7; ++b)
    widest = std::max(widest, t[static_cast<std::size_t>(b - 1)]);
  const double block = (page_width - 2 * margin - caption_width - aisle) / 2;
  const double pitch = block / widest;
  const double east_x = margin + caption_width;
  const double west_x = east_x + block + aisle;

  l.title = {margin, margin, page_width - 2 * margin, title_height};
  const double row_pitch = label_band + tile_height + row_gap;
  double y = l.title.y + l.title.h;
  l.row_y[bank_slots] = y + label_band;
  y += row_pitch + side_header;
  for (int slot = 1; slot <= 7; ++slot, y += row_pitch)
    l.row_y[static_cast<std::size_t>(slot)] = y + label_band;

  const int ideal = ideal_number_of_modules(t);
  l.tiles.resize(static_cast<std::size_t>(std::max(ideal, 0)));
  l.cells.resize(l.tiles.size());
  for (int i = 1; i <= ideal; ++i) {
    int bank = 0, side = 0, module = 0;
    index2module(t, i, bank, side, module);
    const int slot = nbank18(bank);
    double x = 0;
    if (slot == bank_slots)
      x = east_x + side * pitch; // East, West, Up, Down side by side
    else
      x = (side == 0 ? east_x : west_x) + (module - 1) * pitch;
    const auto k = static_cast<std::size_t>(i - 1);
    l.tiles[k] = {x + tile_gap / 2, l.row_y[static_cast<std::size_t>(slot)], pitch - tile_gap,
                  tile_height};
    const std::size_t n = k < d.modules.size() ? d.modules[k].cells.size() : 0;
    l.cells[k] = cell_grid(l.tiles[k], n);
  }

  const double legend_y = y + 2;
  // A line more in the legend for each further sample (and in the counts for its count).
  const double further = (d.counts.hard_masked ? 1 : 0) + (d.counts.varying ? 1 : 0);
  const double legend_h = legend_height + further * key_line;
  l.legend = {margin, legend_y, page_width - 2 * margin - counts_width, legend_h};
  l.counts = {page_width - margin - counts_width, legend_y, counts_width, legend_h};
  l.height = legend_y + legend_h + margin;

  // The legend: the colour bar on the left, the samples of module frames and spectra on the
  // right, one to a line whose text stands at key_x + key_text.
  l.scale_bar = {l.legend.x + 64, l.legend.y + 24, 420, 16};
  const double key_x = l.scale_bar.x + l.scale_bar.w + 120;
  double line = l.legend.y + 14;
  for (std::size_t k = 0; k < std::size(legend_statuses); ++k) {
    line += key_line;
    l.module_samples.push_back({key_x, line - 15, 30, 20});
    l.module_sample_cells.push_back(cell_grid(l.module_samples.back(), module_sample_spectra));
  }
  line += 2;
  for (const MarkSample &m : legend_marks) {
    // A mark's outlined cell and its small cell share a line.
    if (!m.small)
      line += key_line;
    const double side = m.small ? min_outlined_cell / 2 : min_outlined_cell + 4;
    const double x = key_x + (m.small ? 22 : 4);
    l.spectrum_samples.push_back({x, line - 4 - side / 2, side, side});
  }
  for (std::size_t k = 0; k < further; ++k) {
    line += key_line;
    const double side = min_outlined_cell + 4;
    l.further_samples.push_back({key_x + 4, line - 4 - side / 2, side, side});
  }
  return l;
}

double scale_step(float ratio) {
  double t = 0;
  if (std::isnan(ratio))
    t = 0;
  else if (!(ratio > 0))
    t = -1;
  else
    t = std::clamp(std::log10(static_cast<double>(ratio)), -1.0, 1.0);
  return std::round(t * scale_steps_per_decade) / scale_steps_per_decade;
}

double scale_x(const Rect &bar, double ratio) {
  const double t = std::clamp(std::log10(ratio), -1.0, 1.0);
  // The bar holds one segment a step; a step's ratio stands in the middle of its segment.
  const double segments = 2.0 * scale_steps_per_decade + 1;
  return bar.x + (t * scale_steps_per_decade + scale_steps_per_decade + 0.5) / segments * bar.w;
}

std::optional<Format> format_of(std::string_view file_name) {
  const auto dot = file_name.rfind('.');
  if (dot == std::string_view::npos)
    return std::nullopt;
  std::string ext(file_name.substr(dot + 1));
  for (char &c : ext)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png")
    return Format::png;
  if (ext == "svg")
    return Format::svg;
  return std::nullopt;
}

} // namespace bantrisk::picture
