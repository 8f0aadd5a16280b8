#pragma once
// The spectra file: the detector code of every spectrum, and the Z_R directory where the
// spectrum file list that names it is kept.
//
// A spectra file has three header lines (the second gives the number of entries it holds),
// then entries of two free-format whole numbers, a detector code and a spectrum number, one
// entry to a line as a rule; an entry may run on over the next line, and values after the
// second on a line are ignored.
#include <cstdint>
#include <istream>
#include <span>
#include <string>
#include <string_view>

namespace bantrisk {

class Io;

// The value of Z_R in `text`, blank-padded to 80 characters (all blanks when unset; a longer
// value is kept whole), and in `k` the number of characters before its first pair of adjacent
// blanks: 0 when unset, -1 when the text holds no such pair.
void setz_r(const Io &io, std::string &text, int &k);

// The tables the spectra file is read into, indexed from 1 (element 0 unused).
struct SpectraTables {
  std::span<std::int32_t> code;       // detector code of each entry
  std::span<std::int32_t> spectrum;   // spectrum number of each entry
  std::span<std::int32_t> first_line; // line of the file on which each entry begins
};

// Reads the spectra file into `tables` from entry 1. With open_flag 1 the file is `in`, already
// open, and `name` is its name for the messages; with any other value (or no stream) the user
// is asked for the file's name (default "spectra.dat"), which is checked and opened here.
// On return `entries` holds the entries read, `specified` the count of the file's second line
// and `largest` the largest spectrum number (0 when none is above 0); the number of entries
// read and the largest spectrum number are reported on the console. A code read without its
// spectrum number at the very end of the file stays in its table uncounted.
// Every failure ends the program (ProgramStop) after a console message: a header line missing
// or a count that is not a whole number, an entry value that is not a whole number, more
// entries than `capacity` (or than the tables hold).
void read_spectra(Io &io, std::istream *in, std::string_view name, const SpectraTables &tables,
                  std::int32_t &entries, std::int32_t &specified, std::int32_t &largest,
                  int capacity, int open_flag);

} // namespace bantrisk
