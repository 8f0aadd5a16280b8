// Opening input files, reading their lines and the console's answers in bounded memory, and
// what the program shows of names and values.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

#include "driver_harness.hpp"
#include "lib/capacities.hpp"
#include "lib/freeformat.hpp"
#include "lib/input_file.hpp"
#include "lib/process_guard.hpp"
#include "lib/text.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;
namespace fs = std::filesystem;

namespace {
const std::size_t longest = static_cast<std::size_t>(max_line_length);
}

TEST(InputFile, OnlyRegularFilesOpenAndNothingWaits) {
  ScratchDir dir;
  write_file("plain.dat", " 1\n");
  write_file("empty.dat", "");
  fs::create_directory("folder");
  ASSERT_EQ(::mkfifo("pipe", 0600), 0);
  fs::create_symlink("plain.dat", "link.dat");
  struct Case {
    const char *name;
    const char *reason; // empty: opens
  } const cases[] = {
      {"plain.dat", ""},
      {"empty.dat", ""},
      {"link.dat", ""},
      {"folder", "not a regular file"},
      {"pipe", "not a regular file"}, // no writer: it would wait for ever if opened blocking
      {"/dev/zero", "not a regular file"},
      {"missing.dat", "No such file or directory"},
      {"", "No such file or directory"},
  };
  FileIdentity plain;
  ASSERT_TRUE(identity_of("plain.dat", plain));
  for (const auto &c : cases) {
    std::string reason = "?";
    const auto file = open_input_file(c.name, reason);
    EXPECT_EQ(reason, c.reason) << c.name;
    EXPECT_EQ(file != nullptr, reason.empty()) << c.name;
    if (file && std::string(c.name) == "link.dat") {
      EXPECT_EQ(file->identity(), plain); // a link is the file it names
    }
  }
}

TEST(InputFile, RecordsAreReadInBoundedMemory) {
  ScratchDir dir;
  struct Case {
    const char *what;
    std::string text;
    std::vector<std::string> lines; // read before the reader stops
    bool failed;                    // stopped by a read error, not the end of the file
  } const cases[] = {
      {"line ends LF and CR LF, last line unended", "a\r\nb\n\nc", {"a", "b", "", "c"}, false},
      {"a record of the longest length",
       std::string(longest, 'x') + "\n",
       {std::string(longest, 'x')},
       false},
      {"one character more", "1\n" + std::string(longest + 1, 'x') + "\n2\n", {"1"}, true},
      {"an endless record without line end", "1\n" + std::string(3 * longest, '0'), {"1"}, true},
  };
  for (const auto &c : cases) {
    write_file("f.dat", c.text);
    std::string reason;
    const auto file = open_input_file("f.dat", reason);
    ASSERT_TRUE(file) << reason;
    std::vector<std::string> lines;
    for (std::string line; read_text_line(*file, line);)
      lines.push_back(line);
    EXPECT_EQ(lines, c.lines) << c.what;
    EXPECT_EQ(file->bad(), c.failed) << c.what;
  }
  // A free-format read meeting an endless record is a bad value, never the end of the data.
  write_file("f.dat", " 1\n" + std::string(longest + 1, '5') + "\n");
  std::string reason;
  const auto file = open_input_file("f.dat", reason);
  std::int32_t a = 0, b = 0;
  const std::array<FreeTarget, 1> ta{&a};
  const std::array<FreeTarget, 1> tb{&b};
  EXPECT_EQ(read_free(*file, ta), ReadStatus::ok);
  EXPECT_EQ(read_free(*file, tb), ReadStatus::bad_value);
}

TEST(ConsoleAnswers, KeepEightyCharactersAndCountThemAll) {
  struct Case {
    const char *what;
    std::string input;
    int length; // -1: the input ends (ProgramStop::end_of_input)
    std::string kept;
  } const cases[] = {
      {"short, CR LF", "ab\r\n", 2, "ab"},
      {"80 characters and CR LF", std::string(80, 'q') + "\r\n", 80, std::string(80, 'q')},
      {"a long answer", std::string(100, 'z') + "\r\n", 100, std::string(80, 'z')},
      {"a CR inside stays", "a\rb\n", 3, "a\rb"},
      {"the longest answer", std::string(longest, 'n') + "\n", static_cast<int>(longest),
       std::string(80, 'n')},
      {"longer: as the end of the input", std::string(longest + 1, 'n') + "\n1\n", -1, ""},
      {"an endless line of NULs", std::string(2 * longest, '\0'), -1, ""},
      {"last line without its end", "7", 1, "7"},
      {"nothing", "", -1, ""},
  };
  for (const auto &c : cases) {
    std::istringstream in(c.input);
    std::ostringstream out;
    Console con(in, out);
    if (c.length < 0) {
      EXPECT_THROW(con.read_answer(), ProgramStop) << c.what;
      continue;
    }
    const Answer a = con.read_answer();
    EXPECT_EQ(a.length, c.length) << c.what;
    EXPECT_EQ(a.text, fixed_text(c.kept, 80)) << c.what;
  }
}

TEST(ShownText, ControlCharactersAreEscapedOnTheConsoleAndInFiles) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name.dat", "plain name.dat"},
      {"tab\tstays", "tab\tstays"},
      {"x\ny", "x\\ny"},
      {std::string("a\0b\r", 4), "a\\0b\\r"},
      {"\x1b[2J\x7f", "\\x1b[2J\\x7f"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
  };
  for (const auto &[raw, shown] : cases)
    EXPECT_EQ(shown_text(raw), shown) << raw;

  ScratchDir dir;
  ConsoleFixture f;
  int error = 0;
  f.io.connect(10, ReplacingFile::create("out.dat", error));
  f.io.write_line(0, "Z_R=a\nb");
  f.io.write_line(10, "Z_R=a\nb");
  ASSERT_TRUE(f.io.close(10));
  EXPECT_EQ(f.text(), "Z_R=a\\nb\n");
  EXPECT_EQ(read_file("out.dat"), "Z_R=a\\nb\n");
}

TEST(FolderLock, ASecondHolderIsRefused) {
  ScratchDir dir;
  EXPECT_EQ(lock_folder(dir.str()), FolderLock::held);
  EXPECT_EQ(lock_folder(dir.str()), FolderLock::busy); // a lock of its own, even in one process
  EXPECT_EQ(lock_folder(dir.str() + "/missing"), FolderLock::unavailable);
}
