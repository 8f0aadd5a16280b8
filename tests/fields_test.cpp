#include <gtest/gtest.h>

#include <limits>

#include "lib/fields.hpp"
#include "lib/messages.hpp"

using namespace bantrisk;

// Expected general-real fields were checked against a Fortran G14.7 edit descriptor, except
// 99999.99, where the rule (seven significant digits first) gives 99999.99.
TEST(GeneralReal, FixedAndExponentForms) {
  const struct {
    float value;
    const char *field;
  } cases[] = {
      {0.3f, " 0.3000000    "},        {1.5f, "  1.500000    "},
      {1.64f, "  1.640000    "},       {1234567.0f, "  1234567.    "},
      {0.05f, " 0.5000000E-01"},       {0.1f, " 0.1000000    "},
      {0.09999999f, " 0.9999999E-01"}, {9999999.0f, "  9999999.    "},
      {10000000.0f, " 0.1000000E+08"}, {0.0f, "  0.000000    "},
      {-0.3f, "-0.3000000    "},       {-1.5f, " -1.500000    "},
      {123.456f, "  123.4560    "},    {1.0e-20f, " 0.1000000E-19"},
      {3.4e38f, " 0.3400000E+39"},     {-0.05f, "-0.5000000E-01"},
      {99999.99f, "  99999.99    "},   {0.99999999f, "  1.000000    "},
  };
  for (const auto &c : cases)
    EXPECT_EQ(general_real(c.value), c.field) << c.value;
}

TEST(GeneralReal, NonFiniteFillsTheField) {
  EXPECT_EQ(general_real(std::numeric_limits<float>::infinity()), std::string(14, '*'));
  EXPECT_EQ(general_real(std::numeric_limits<float>::quiet_NaN()), std::string(14, '*'));
}

TEST(FixedField, DecimalsWidthAndAsterisks) {
  const struct {
    double value;
    int w, d;
    const char *field;
  } cases[] = {
      {0.25, 8, 4, "  0.2500"},           {1.6, 8, 4, "  1.6000"},
      {999.99994, 8, 4, "999.9999"},      {1000.0, 8, 4, "********"},
      {-999.5, 8, 4, "********"},         {-99.5, 8, 4, "-99.5000"},
      {0.5, 9, 4, "   0.5000"},           {2.0, 9, 4, "   2.0000"},
      {2.25, 12, 1, "         2.2"},      {0.0, 12, 1, "         0.0"},
      {1234567.5, 12, 1, "   1234567.5"}, {1e12, 12, 1, "************"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(fixed_field(c.value, c.w, c.d), c.field) << c.value;
  EXPECT_EQ(fixed_field(std::numeric_limits<double>::infinity(), 8, 4), "********");
  EXPECT_EQ(fixed_field(std::numeric_limits<double>::quiet_NaN(), 8, 4), "********");
}

TEST(IntField, RightAlignedOrAsterisks) {
  const struct {
    long long value;
    int w;
    const char *field;
  } cases[] = {
      {7, 7, "      7"},
      {12345, 7, "  12345"},
      {-3, 3, " -3"},
      {0, 3, "  0"},
      {999, 3, "999"},
      {1000, 3, "***"},
      {-100, 3, "***"},
      {12345, 5, "12345"},
      {123456, 5, "*****"},
      {5, 12, "           5"},
      {-2147483648LL, 12, " -2147483648"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(int_field(c.value, c.w), c.field) << c.value;
}

TEST(FreeFormat, TextsInFullNumbersInTwelve) {
  EXPECT_EQ(free_format({}), "");
  EXPECT_EQ(free_format({""}), " ");
  EXPECT_EQ(free_format({"Number of spectra with zero counts = ", 23}),
            " Number of spectra with zero counts =           23");
  EXPECT_EQ(free_format({"abc  ", "d"}), " abc  d");
  EXPECT_EQ(free_format({-7}), "           -7");
}

TEST(Lengths, LenIntAndLenString) {
  const struct {
    long long v;
    int len;
  } ints[] = {{0, 1},  {9, 1},   {10, 2},          {999999, 6},        {1000000, 7},
              {-1, 2}, {-10, 3}, {2147483647, 10}, {-2147483648LL, 11}};
  for (const auto &c : ints)
    EXPECT_EQ(len_int(c.v), c.len) << c.v;
  EXPECT_EQ(len_string("abc  "), 3);
  EXPECT_EQ(len_string("abc\t "), 3);
  EXPECT_EQ(len_string("    "), 0);
  EXPECT_EQ(len_string(""), 0);
  EXPECT_EQ(len_string(" a"), 2);
  EXPECT_EQ(len_string(std::string_view("a\0", 2)), 2);
}
