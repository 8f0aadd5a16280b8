#include "lib/detector_numbering.hpp"

#include <numeric>

#include "lib/fields.hpp"

namespace bantrisk {

namespace {
int per_side(const ModulesPerSide &t, int bank) {
  return t[static_cast<std::size_t>(nbank18(bank) - 1)];
}
} // namespace

int ideal_number_of_modules(const ModulesPerSide &t) {
  return 2 * std::accumulate(t.begin(), t.end(), 0);
}

void deconstruct_ndet(std::int32_t code, int &bank, int &side, int &module, int &group,
                      int &element) {
  bank = code / 100000;
  int r = code - 100000 * bank;
  side = r / 10000;
  r = r % 10000;
  module = r / 1000;
  element = r % 1000;
  group = bank == 9 ? 2 : element / 100;
  if (bank == 5 && side >= 2) {
    side -= 2;
    module += 9;
  }
  if (bank == 8)
    bank = 0;
}

int nbank18(int bank) {
  return ((bank - 8) % 8) + 8;
}

int module2index(const ModulesPerSide &t, int bank, int side, int module) {
  // A bank, side or module outside the instrument would step past the table or land on another
  // module's index.
  if (!names_module(t, bank == 8 ? 0 : bank, side, module))
    return 0;
  if (nbank18(bank) == 8)
    return side + 1;
  int index = 2 * t[7];
  for (int k = 1; k < bank; ++k)
    index += 2 * t[static_cast<std::size_t>(k - 1)];
  return index + side * per_side(t, bank) + module;
}

void index2module(const ModulesPerSide &t, int index, int &bank, int &side, int &module) {
  bank = 0;
  int first = 1;
  int last = 2 * t[7];
  while (index > last && bank < 7) {
    ++bank;
    first = last + 1;
    last += 2 * per_side(t, bank);
  }
  if (nbank18(bank) == 8) {
    side = index - 1;
    module = 1;
    return;
  }
  const int n = per_side(t, bank);
  const int offset = index - first;
  side = offset / n;
  module = offset - n * side + 1;
}

bool names_module(const ModulesPerSide &t, int bank, int side, int module) {
  if (bank == 0)
    return side >= 0 && side <= 3;
  if (bank < 1 || bank > 7)
    return false;
  return (side == 0 || side == 1) && module >= 1 && module <= per_side(t, bank);
}

char detside1(int side, int bank) {
  char letter = '?';
  switch (side) {
  case 0:
    letter = 'E';
    break;
  case 1:
    letter = 'W';
    break;
  case 2:
    letter = 'U';
    break;
  case 3:
    letter = 'D';
    break;
  default:
    break;
  }
  if (bank == 5 && side == 2)
    letter = 'E';
  if (bank == 5 && side == 3)
    letter = 'W';
  return letter;
}

std::string detside4(int side, int bank) {
  switch (detside1(side, bank)) {
  case 'E':
    return "East";
  case 'W':
    return "West";
  case 'U':
    return "Up  ";
  case 'D':
    return "Down";
  default:
    return "????";
  }
}

std::string module_label(int bank, int side, int module) {
  return text_field(exact_int(bank == 8 ? 0 : bank) + detside1(side, bank) + exact_int(module), 4);
}

int spec2index(const SpectrumEntryView &map, const ModulesPerSide &t, std::int32_t s) {
  for (int i = 0; i < map.entries; ++i) {
    if (map.spectrum[i] != s)
      continue;
    if (map.group[i] == 2)
      return -1;
    if (map.group[i] == 6)
      return 0;
    if (!names_module(t, map.bank[i], map.side[i], map.module[i]))
      return 0;
    return module2index(t, map.bank[i], map.side[i], map.module[i]);
  }
  return -2;
}

} // namespace bantrisk
