#pragma once
// A picture of the instrument after a check: every module as a tile, every module spectrum as a
// cell inside it, with a title, a legend and the counts of what the check found. The picture is
// drawn from a plain description, so it knows nothing of the run-wide tables; one drawing
// routine serves the PNG and the SVG output.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/capacities.hpp"
#include "lib/detector_numbering.hpp"

namespace bantrisk::picture {

// A module's status against its bank; `empty` is a module without spectra in the map.
enum class Status { empty, ok, dead, low, high };
// A spectrum's status against its module's average; `hard_masked` is a spectrum of the hard
// mask, left out of every average and search (a grey cell).
enum class Mark { ok, dead, low, high, hard_masked };

struct Cell {
  float ratio = 1.0f; // the spectrum's counts over its module's average
  Mark mark = Mark::ok;
  bool varying = false; // varies against the reference run: a cross over the cell
};

struct Module {
  std::string label; // e.g. "1W3"
  Status status = Status::empty;
  std::vector<Cell> cells; // the module's spectra in map order
};

struct Counts {
  std::int32_t dead_spectra = 0;      // dead spectra in the modules of the map
  std::int32_t dead_in_no_module = 0; // spectra with zero counts that stand in no module
  std::int32_t dead_modules = 0;
  std::int32_t low_modules = 0, high_modules = 0;
  std::int32_t low_spectra = 0, high_spectra = 0;
  std::optional<std::int32_t> masked; // spectra left out by the check's mask, if one was written
  bool mask_low_high = false;         // the mask leaves out low and high spectra too
  std::string mask_spectra;           // what else it leaves out, when it is more than those
  // Shown, with their lines in the legend, only for a check with a hard mask or a reference.
  std::optional<std::int32_t> hard_masked; // spectra of the hard mask
  std::optional<std::int32_t> varying;     // spectra varying against the reference
};

struct Description {
  std::string source;       // the run file or integrals file checked
  std::int32_t spectra = 0; // number of spectra of the run
  std::string date;         // when the check ran, as it should be shown
  ModulesPerSide modules_per_side = default_modules_per_side;
  std::vector<Module> modules; // module index i at modules[i - 1]
  // Spectrum limits of bank slots 1..8 (element 0 unused) and the module fractions.
  std::array<float, bank_slots + 1> low_limit{}, high_limit{};
  float low_fraction = 0.0f, high_fraction = 0.0f;
  Counts counts;
  // The drawing libraries' own warnings (a font configuration they cannot read) are not shown.
  bool quiet = false;
};

// Geometry in drawing units; the SVG uses them as pixels, the PNG scales them by png_scale.
inline constexpr double png_scale = 1.5;
// Width of the status frame around every tile; the cells lie inside it.
inline constexpr double frame_width = 4.0;
// A low or high spectrum is outlined inside its cell when the cell is at least this wide and
// high; a smaller cell has no room for an outline and takes the end colour of the scale instead.
inline constexpr double min_outlined_cell = 8.0;
// The colour scale runs over ratios 0.1 to 10 in steps even in the logarithm, this many a
// decade; each cell takes the colour of its step.
inline constexpr int scale_steps_per_decade = 20;

struct Rect {
  double x = 0, y = 0, w = 0, h = 0;
  double cx() const { return x + w / 2; }
  double cy() const { return y + h / 2; }
};

struct Layout {
  double width = 0, height = 0;
  std::vector<Rect> tiles;                    // module index i at tiles[i - 1]
  std::vector<std::vector<Rect>> cells;       // the cells of each tile, in the module's order
  std::array<double, bank_slots + 1> row_y{}; // top of each bank slot's row of tiles
  double tile_height = 0, label_band = 0;     // the labels stand in a band above the tiles
  Rect title, legend, counts;
  // The legend: the colour bar, and the samples of each module status (in the order of
  // `legend_statuses`) and of each spectrum mark (`legend_marks`), each drawn as the map draws
  // it. A module sample is a small tile whose cells are `module_sample_cells`.
  Rect scale_bar;
  std::vector<Rect> module_samples;
  std::vector<std::vector<Rect>> module_sample_cells;
  std::vector<Rect> spectrum_samples; // one cell each
  // With a hard mask or a reference: a hard-masked cell, then a varying cell, a line each.
  std::vector<Rect> further_samples;
};

// The samples of the legend, in their order.
inline constexpr Status legend_statuses[] = {Status::ok, Status::low, Status::high, Status::dead,
                                             Status::empty};
struct MarkSample {
  Mark mark;
  bool small; // drawn in a cell too small for an outline
};
inline constexpr MarkSample legend_marks[] = {{Mark::dead, false},
                                              {Mark::low, false},
                                              {Mark::low, true},
                                              {Mark::high, false},
                                              {Mark::high, true}};

// Where a ratio stands on the colour scale: -1 at 0.1 and below, 0 at 1 (and for a ratio that
// is not a number), 1 at 10 and above, in the step the ratio falls in.
double scale_step(float ratio);
// Where a ratio (0.1 to 10) stands along the legend's colour bar; the middle of its step's
// segment for the ratio of a step.
double scale_x(const Rect &bar, double ratio);

// Where every tile and cell goes: bank 8's four modules in the first row, then banks 1 to 7,
// each row holding its East side and its West side, modules in module-number order.
Layout layout_of(const Description &d);

enum class Format { png, svg };
// The format a picture file's name asks for (".png" or ".svg", in either case), if any.
std::optional<Format> format_of(std::string_view file_name);

// The whole picture as the bytes of a PNG or SVG file.
std::string render(const Description &d, Format format);

} // namespace bantrisk::picture
