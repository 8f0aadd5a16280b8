#include "lib/detector_numbering.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

namespace bantrisk {
namespace {

const ModulesPerSide &t = default_modules_per_side;

struct SplitCase {
  std::int32_t code;
  int bank, side, module, group, element;
  int index;         // module index, 0 when the code names no module
  const char *label; // label of the module, "" when none
};

TEST(DetectorNumbering, SplitsCodesIntoModules) {
  const SplitCase cases[] = {
      {113045, 1, 1, 3, 0, 45, 10, "1W3 "},
      {523150, 5, 0, 12, 1, 150, 50, "5E12"},
      {513000, 5, 1, 3, 0, 0, 59, "5W3 "},
      {821005, 0, 2, 1, 0, 5, 3, "0U1 "},
      {21005, 0, 2, 1, 0, 5, 3, "0U1 "}, // below 100000: bank 0, the same bank as 8
      {901050, 9, 0, 1, 2, 50, 0, ""},   // bank 9: group forced to 2
      {101250, 1, 0, 1, 2, 250, 5, "1E1 "},
      {539999, 5, 1, 18, 9, 999, 74, "5W18"},
      {800000, 0, 0, 0, 0, 0, 1, "0E0 "}, // bank 8 ignores the module number
      {831001, 0, 3, 1, 0, 1, 4, "0D1 "},
      {705150, 7, 0, 5, 1, 150, 93, "7E5 "},
      {715001, 7, 1, 5, 0, 1, 98, "7W5 "},
      {104001, 1, 0, 4, 0, 1, 0, ""},   // bank 1 has 3 modules per side
      {100001, 1, 0, 0, 0, 1, 0, ""},   // module 0
      {121001, 1, 2, 1, 0, 1, 0, ""},   // side Up outside bank 8
      {841001, 0, 4, 1, 0, 1, 0, ""},   // bank 8 has no side above Down
      {543001, 5, 2, 12, 0, 1, 0, ""},  // bank 5 raw side 4 folds to 2: no module
      {1013001, 10, 1, 3, 0, 1, 0, ""}, // bank 10 does not exist
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code);
    int bank = -1, side = -1, module = -1, group = -1, element = -1;
    deconstruct_ndet(c.code, bank, side, module, group, element);
    EXPECT_EQ(std::tie(bank, side, module, group, element),
              std::tie(c.bank, c.side, c.module, c.group, c.element));
    const bool named = c.index != 0;
    EXPECT_EQ(names_module(t, bank, side, module), named);
    EXPECT_EQ(module2index(t, bank, side, module), c.index);
    if (named) {
      EXPECT_EQ(module_label(bank, side, module), c.label);
    }
  }
}

TEST(DetectorNumbering, IndexToModuleExamples) {
  struct Case {
    int index, bank, side, module;
  };
  const Case cases[] = {{1, 0, 0, 1},  {4, 0, 3, 1},  {5, 1, 0, 1},   {10, 1, 1, 3},
                        {39, 5, 0, 1}, {57, 5, 1, 1}, {74, 5, 1, 18}, {98, 7, 1, 5}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.index);
    int bank = -1, side = -1, module = -1;
    index2module(t, c.index, bank, side, module);
    EXPECT_EQ(std::tie(bank, side, module), std::tie(c.bank, c.side, c.module));
  }
}

TEST(DetectorNumbering, IndexesAndModulesAreInverse) {
  ASSERT_EQ(ideal_number_of_modules(t), 98);
  std::set<std::string> labels;
  for (int index = 1; index <= 98; ++index) {
    SCOPED_TRACE(index);
    int bank = -1, side = -1, module = -1;
    index2module(t, index, bank, side, module);
    EXPECT_TRUE(names_module(t, bank, side, module));
    EXPECT_EQ(module2index(t, bank, side, module), index);
    labels.insert(module_label(bank, side, module));
  }
  EXPECT_EQ(labels.size(), 98u); // every module has its own label
}

TEST(DetectorNumbering, ModuleIndexIsZeroOrTheModulesOwn) {
  // Whatever it is given, a module index is 0 (no module) or one that leads back to the same
  // bank, side and module (bank 8 is held as 0, and its module number is not part of it).
  for (int bank = -9; bank <= 17; ++bank)
    for (int side = -1; side <= 9; ++side)
      for (int module = -1; module <= 19; ++module) {
        const int index = module2index(t, bank, side, module);
        if (index == 0)
          continue;
        ASSERT_GE(index, 1);
        ASSERT_LE(index, 98);
        int b = -1, s = -1, m = -1;
        index2module(t, index, b, s, m);
        const int held = bank == 8 ? 0 : bank;
        EXPECT_EQ(std::tie(b, s), std::tie(held, side)) << bank << ' ' << side << ' ' << module;
        if (held != 0) {
          EXPECT_EQ(m, module) << bank << ' ' << side << ' ' << module;
        }
      }
}

TEST(DetectorNumbering, SlotsAndSideNames) {
  const std::pair<int, int> slots[] = {{0, 8}, {8, 8}, {1, 1}, {3, 3}, {7, 7}};
  for (const auto &[bank, slot] : slots)
    EXPECT_EQ(nbank18(bank), slot) << bank;

  struct Case {
    int side, bank;
    char letter;
    const char *name;
  };
  const Case cases[] = {{0, 1, 'E', "East"}, {1, 1, 'W', "West"}, {2, 0, 'U', "Up  "},
                        {3, 0, 'D', "Down"}, {2, 5, 'E', "East"}, {3, 5, 'W', "West"},
                        {7, 0, '?', "????"}, {-1, 5, '?', "????"}};
  for (const auto &c : cases) {
    EXPECT_EQ(detside1(c.side, c.bank), c.letter) << c.side << ' ' << c.bank;
    EXPECT_EQ(detside4(c.side, c.bank), c.name) << c.side << ' ' << c.bank;
  }
}

TEST(DetectorNumbering, SpectrumToModuleIndex) {
  const std::int32_t spectrum[] = {7, 8, 9, 10, 11};
  const int bank[] = {1, 9, 3, 0, 12};
  const int side[] = {1, 0, 0, 2, 0};
  const int module[] = {3, 1, 1, 1, 1};
  const int group[] = {0, 2, 6, 0, 0};
  const SpectrumEntryView map{spectrum, bank, side, module, group, 5};
  EXPECT_EQ(spec2index(map, t, 7), 10);
  EXPECT_EQ(spec2index(map, t, 8), -1);
  EXPECT_EQ(spec2index(map, t, 9), 0);
  EXPECT_EQ(spec2index(map, t, 10), 3);
  EXPECT_EQ(spec2index(map, t, 11), 0); // names no module
  EXPECT_EQ(spec2index(map, t, 99), -2);
}

} // namespace
} // namespace bantrisk
