#include <gtest/gtest.h>

#include <array>
#include <sstream>

#include "lib/freeformat.hpp"

using namespace bantrisk;

namespace {
struct IntCase {
  const char *text;
  ReadStatus status;
  std::int32_t value; // after the read, starting from 99
};

ReadStatus read_one(std::string_view text, std::int32_t &v) {
  const std::array<FreeTarget, 1> t{&v};
  return read_free(text, t);
}
} // namespace

TEST(FreeFormatReader, OneWholeNumber) {
  const IntCase cases[] = {
      {"5", ReadStatus::ok, 5},
      {"  5", ReadStatus::ok, 5},
      {"\t5", ReadStatus::ok, 5},
      {"5 7", ReadStatus::ok, 5},
      {"5,7", ReadStatus::ok, 5},
      {"-3", ReadStatus::ok, -3},
      {"+12", ReadStatus::ok, 12},
      {"2147483647", ReadStatus::ok, 2147483647},
      {"-2147483648", ReadStatus::ok, -2147483647 - 1},
      {"2147483648", ReadStatus::bad_value, 99},
      {"99999999999999999999", ReadStatus::bad_value, 99},
      {"1.5", ReadStatus::bad_value, 99},
      {"5.", ReadStatus::bad_value, 99},
      {"1E2", ReadStatus::bad_value, 99},
      {"5x", ReadStatus::bad_value, 99},
      {"x", ReadStatus::bad_value, 99},
      {"+-5", ReadStatus::bad_value, 99},
      {"-", ReadStatus::bad_value, 99},
      {"3*5", ReadStatus::bad_value, 99},
      {"", ReadStatus::end_of_data, 99},
      {"   \t ", ReadStatus::end_of_data, 99},
      {",", ReadStatus::ok, 99},
      {" , 5", ReadStatus::ok, 99},
      {"/", ReadStatus::ok, 99},
      {"  / 5", ReadStatus::ok, 99},
      {"5/", ReadStatus::ok, 5},
  };
  for (const auto &c : cases) {
    std::int32_t v = 99;
    EXPECT_EQ(read_one(c.text, v), c.status) << '"' << c.text << '"';
    EXPECT_EQ(v, c.value) << '"' << c.text << '"';
  }
}

TEST(FreeFormatReader, OneReal) {
  const struct {
    const char *text;
    bool ok;
    float value;
  } cases[] = {
      {"2", true, 2.0f},      {"0.3", true, 0.3f},      {".5", true, 0.5f},
      {"5.", true, 5.0f},     {"1.5E-2", true, 0.015f}, {"1.5e-2", true, 0.015f},
      {"3D1", true, 30.0f},   {"3d1", true, 30.0f},     {"-0.25", true, -0.25f},
      {"+4E+1", true, 40.0f}, {"0.25 9", true, 0.25f},  {"inf", false, 7.0f},
      {"nan", false, 7.0f},   {"1.5+2", false, 7.0f},   {"1.5E", false, 7.0f},
      {".", false, 7.0f},     {"E5", false, 7.0f},      {"1E39", false, 7.0f},
      {"0x10", false, 7.0f},  {"1..2", false, 7.0f},    {"1E5.0", false, 7.0f},
  };
  for (const auto &c : cases) {
    float v = 7.0f;
    const std::array<FreeTarget, 1> t{&v};
    EXPECT_EQ(read_free(c.text, t) == ReadStatus::ok, c.ok) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
}

TEST(FreeFormatReader, TwoValuesNullsAndSlash) {
  const struct {
    const char *text;
    ReadStatus status;
    float a, b;
  } cases[] = {
      {"0.5 2.0", ReadStatus::ok, 0.5f, 2.0f},   {"0.5,2.0", ReadStatus::ok, 0.5f, 2.0f},
      {"0.5 , 2.0", ReadStatus::ok, 0.5f, 2.0f}, {"0.2", ReadStatus::end_of_data, 0.2f, 9.0f},
      {"0.2 /", ReadStatus::ok, 0.2f, 9.0f},     {"0.2 x", ReadStatus::bad_value, 0.2f, 9.0f},
      {",3", ReadStatus::ok, 8.0f, 3.0f},        {"3,,", ReadStatus::ok, 3.0f, 9.0f},
      {",,", ReadStatus::ok, 8.0f, 9.0f},        {"1,\t,2", ReadStatus::ok, 1.0f, 9.0f},
  };
  for (const auto &c : cases) {
    float a = 8.0f, b = 9.0f;
    const std::array<FreeTarget, 2> t{&a, &b};
    EXPECT_EQ(read_free(c.text, t), c.status) << c.text;
    EXPECT_EQ(a, c.a) << c.text;
    EXPECT_EQ(b, c.b) << c.text;
  }
}

TEST(FreeFormatReader, FilesStartEachReadOnANewLine) {
  std::istringstream in("3 extra words\n 1 10 99\n 2\n 20\n3,30\r\n");
  std::int32_t n = 0, first = 0, second = 0;
  const std::array<FreeTarget, 1> count{&n};
  const std::array<FreeTarget, 2> pair{&first, &second};
  ASSERT_EQ(read_free(in, count), ReadStatus::ok);
  EXPECT_EQ(n, 3);
  ASSERT_EQ(read_free(in, pair), ReadStatus::ok);
  EXPECT_EQ(second, 10); // the 99 is ignored with the rest of its line
  ASSERT_EQ(read_free(in, pair), ReadStatus::ok);
  EXPECT_EQ(second, 20); // continued on the next line
  ASSERT_EQ(read_free(in, pair), ReadStatus::ok);
  EXPECT_EQ(second, 30);
  EXPECT_EQ(read_free(in, pair), ReadStatus::end_of_data);
}

TEST(FreeFormatReader, FileEndBetweenValuesKeepsTheFirst) {
  std::istringstream in("  \n\n 113045\n");
  std::int32_t code = 0, spectrum = -1;
  const std::array<FreeTarget, 2> pair{&code, &spectrum};
  EXPECT_EQ(read_free(in, pair), ReadStatus::end_of_data);
  EXPECT_EQ(code, 113045);
  EXPECT_EQ(spectrum, -1);
}

TEST(FreeFormatReader, FileSlashEndsTheRead) {
  std::istringstream in("1 / 7\n2 8\n");
  std::int32_t a = 0, b = 5;
  const std::array<FreeTarget, 2> pair{&a, &b};
  EXPECT_EQ(read_free(in, pair), ReadStatus::ok);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(read_free(in, pair), ReadStatus::ok);
  EXPECT_EQ(b, 8);
}
