#pragma once
// Detector numbering: splitting a detector code, module indexes, bank slots, side names and
// module labels of the 98-module instrument.
//
// A detector code is bank*100000 + side*10000 + module*1000 + element. Bank 8 is held as 0 once
// split; in bank 5 the raw sides 2 and 3 stand for East and West of modules 10 to 18.
#include <array>
#include <cstdint>
#include <string>

namespace bantrisk {

// Modules on each side of banks 1 to 8 (bank 8 counts half of its four one-module sides).
using ModulesPerSide = std::array<int, 8>;
inline constexpr ModulesPerSide default_modules_per_side{3, 2, 5, 7, 18, 7, 5, 2};

// Twice the sum of the table: 98.
int ideal_number_of_modules(const ModulesPerSide &t);

void deconstruct_ndet(std::int32_t code, int &bank, int &side, int &module, int &group,
                      int &element);

// Bank slot of a bank number: 1..7 themselves, 0 and 8 give 8.
int nbank18(int bank);

// Module index (1..98) of a module; bank 0 or 8 ignore the module number. 0 when bank, side
// and module name no module of the instrument (see names_module).
int module2index(const ModulesPerSide &t, int bank, int side, int module);

// Bank (0 for bank 8), side and module number of a module index 1..98.
void index2module(const ModulesPerSide &t, int index, int &bank, int &side, int &module);

// True when bank (as held after the split), side and module name a module of the instrument:
// banks 1..7 with side East or West and module 1..modules per side; bank 0 with side 0..3.
bool names_module(const ModulesPerSide &t, int bank, int side, int module);

char detside1(int side, int bank);
std::string detside4(int side, int bank);

// The 4-character label: bank digit, side letter, module number, blank-padded ("1W3 ").
std::string module_label(int bank, int side, int module);

// The detector map's tables that spec2index looks through.
struct SpectrumEntryView {
  const std::int32_t *spectrum;
  const int *bank, *side, *module, *group;
  int entries;
};
// Module index of the first entry with spectrum number `s`; -2 none, -1 element group 2,
// 0 element group 6 or an entry that names no module.
int spec2index(const SpectrumEntryView &map, const ModulesPerSide &t, std::int32_t s);

} // namespace bantrisk
