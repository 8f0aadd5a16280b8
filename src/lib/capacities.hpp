#pragma once
// Sizes of the run-wide tables. Every table of the program is sized from these, and every
// reader refuses input that would not fit them.
namespace bantrisk {
inline constexpr int max_spectra = 20000;         // integrals, zero-count list, detector map, flags
inline constexpr int max_channel_values = 10000;  // channel boundaries / values of one spectrum
inline constexpr int max_module_indexes = 200;    // per-module tables (98 used)
inline constexpr int max_dead_per_module = 10000; // dead list of one module
inline constexpr int bank_slots = 8;              // per-bank tables
inline constexpr int name_length = 80;            // file names, directories, kept answer text
// The longest line read: an input file record beyond this is a read error of the file, an answer
// line beyond it ends the program as the end of the console input does.
inline constexpr long max_line_length = 1L << 20;
} // namespace bantrisk
