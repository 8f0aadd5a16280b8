#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver_harness.hpp"
#include "lib/files.hpp"
#include "lib/output_file.hpp"
#include "lib/text.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {
std::string full(const ScratchDir &dir, const std::string &name) {
  return (dir.path() / name).string();
}
} // namespace

TEST(CheckFile, OptionsOnExistingAndMissingFiles) {
  ScratchDir dir;
  write_file("here.dat", "x\n");
  const struct {
    const char *name;
    int iopt, iout, istat;
    std::string console;
  } cases[] = {
      {"here.dat", 3, 1, 1, " File found : " + full(dir, "here.dat") + "\n"},
      {"gone.dat", 3, 1, 2, " No pre-existing version of file exists\n"},
      {"gone.dat", 2, 1, 2, " Failure locating file gone.dat\n"},
      {"gone.dat", 1, 0, 2, ""},
      {"here.dat", 5, 1, 11,
       " Unexpected option in check_file: iopt = 5\n File found : " + full(dir, "here.dat") + "\n"},
      {"gone.dat", -1, 1, 12,
       " Unexpected option in check_file: iopt = -1\n Failure locating file gone.dat\n"},
      {"here.dat", 0, 0, 1, ""},
  };
  for (const auto &c : cases) {
    ConsoleFixture f;
    std::string file = fixed_text(c.name, 80), fullname(80, ' ');
    int istat = -1;
    check_file(f.io, file, fullname, c.iopt, c.iout, istat);
    EXPECT_EQ(istat, c.istat) << c.name << ' ' << c.iopt;
    EXPECT_EQ(f.text(), c.console) << c.name << ' ' << c.iopt;
  }
}

TEST(CheckFile, OptionZeroStopsOnAMissingFile) {
  ScratchDir dir;
  for (const int iout : {0, 1}) {
    ConsoleFixture f;
    std::string file = fixed_text("gone.dat", 80), fullname(80, ' ');
    int istat = 0;
    EXPECT_TRUE(f.stops([&] { check_file(f.io, file, fullname, 0, iout, istat); }));
    EXPECT_EQ(f.text(), iout ? " Failure locating file gone.dat\n" : "");
  }
}

TEST(CheckFile, OptionOneAsksForAnotherName) {
  ScratchDir dir;
  write_file("right.dat", "x\n");
  ConsoleFixture f("wrong2.dat\nright.dat\n");
  std::string name = fixed_text("wrong.dat", 80);
  int istat = 0;
  check_file(f.io, name, name, 1, 1, istat); // one variable for the name and the full name
  EXPECT_EQ(istat, 1);
  EXPECT_EQ(f.text(), " Failure locating file wrong.dat\n Give file name or return to stop > "
                      " Failure locating file wrong2.dat\n Give file name or return to stop > "
                      " File found : " +
                          full(dir, "right.dat") + "\n");
  EXPECT_EQ(std::string(trimmed(name)), full(dir, "right.dat"));

  ConsoleFixture g("\n");
  std::string other = fixed_text("wrong.dat", 80), fullname(80, ' ');
  EXPECT_THROW(check_file(g.io, other, fullname, 1, 1, istat), ProgramStop);
}

TEST(CheckFile, BlankNamesAndFoldersAreNotFiles) {
  ScratchDir dir;
  std::filesystem::create_directory("folder");
  for (const char *name : {"", "   ", "folder"}) {
    ConsoleFixture f;
    std::string file = fixed_text(name, 80), fullname(80, ' ');
    int istat = 0;
    check_file(f.io, file, fullname, 2, 0, istat);
    EXPECT_EQ(istat, 2) << '"' << name << '"';
  }
}

TEST(CheckFile, LongFullNamesAreKeptWhole) {
  ScratchDir dir;
  const std::string deep(70, 'd');
  std::filesystem::create_directory(deep);
  write_file(deep + "/f.dat", "x\n");
  ConsoleFixture f;
  std::string file = fixed_text(deep + "/f.dat", 80), fullname(80, ' ');
  int istat = 0;
  check_file(f.io, file, fullname, 2, 1, istat);
  EXPECT_EQ(istat, 1);
  EXPECT_EQ(std::string(trimmed(fullname)), full(dir, deep + "/f.dat"));
  EXPECT_GT(trimmed(fullname).size(), 80u);
}

TEST(OpenNewFile, ReplacesAnEarlierFile) {
  ScratchDir dir;
  write_file("out.dat", "old content\n");
  ConsoleFixture f;
  int ierr = -1;
  open_new_file(f.io, fixed_text("out.dat", 80), 10, 0, ierr, 1, 0, 1);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(f.text(), " File found : " + full(dir, "out.dat") +
                          "\n New file: " + full(dir, "out.dat") + "\n");
  f.io.write_line(10, " new line");
  EXPECT_EQ(read_file("out.dat"), "old content\n"); // replaced only when complete
  EXPECT_TRUE(f.io.close(10));
  EXPECT_EQ(read_file("out.dat"), " new line\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1); // no temporary file left behind
}

TEST(OpenNewFile, NewFileAndSilentCreation) {
  ScratchDir dir;
  ConsoleFixture f;
  int ierr = -1;
  open_new_file(f.io, fixed_text("a.dat", 80), 10, 0, ierr, 1, 0, 1);
  EXPECT_EQ(f.text(),
            " No pre-existing version of file exists\n New file: " + full(dir, "a.dat") + "\n");
  ConsoleFixture g;
  open_new_file(g.io, fixed_text("b.dat", 80), 11, 0, ierr, 1, 0, 0);
  EXPECT_EQ(g.text(), "");
  EXPECT_TRUE(g.io.close(11));
  EXPECT_TRUE(std::filesystem::exists("b.dat"));
}

TEST(OpenNewFile, MissingFolderGivesTheErrorReport) {
  ScratchDir dir;
  ConsoleFixture f;
  int ierr = 0;
  open_new_file(f.io, fixed_text("nofolder/x.dat", 80), 12, 0, ierr, 1, 0, 1);
  EXPECT_EQ(ierr, 1);
  EXPECT_EQ(f.text(), " No pre-existing version of file exists\n"
                      " ** Error in open_new_file **\n"
                      " I/O status = 2\n"
                      " File = nofolder/x.dat\n"
                      " Unit number = 12\n"
                      " Record length = 0\n"
                      " Error number = 1\n"
                      " il = 1\n"
                      " ia = 0\n"
                      " iout = 1\n");
  EXPECT_FALSE(f.io.connected(12));
  f.io.write_line(12, "dropped"); // an unconnected destination drops its lines
  EXPECT_FALSE(std::filesystem::exists("nofolder"));
}

namespace {
// Creates `name` silently, writes `line` to it and closes it: whether the file was put in place.
bool write_one_line(const char *name, const char *line) {
  ConsoleFixture f;
  int ierr = -1;
  open_new_file(f.io, fixed_text(name, 80), 10, 0, ierr, 1, 0, 0);
  EXPECT_EQ(ierr, 0) << name;
  f.io.write_line(10, line);
  return f.io.close(10);
}
} // namespace

TEST(OpenNewFile, LinksDevicesAndPermissions) {
  ScratchDir dir;
  namespace fs = std::filesystem;
  // A link to an earlier file: the file it names is replaced and the link stays a link.
  fs::create_directory("real");
  write_file("real/out.dat", "old\n");
  fs::create_symlink("real/out.dat", "link.dat");
  fs::permissions("real/out.dat", fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(write_one_line("link.dat", " new"));
  EXPECT_TRUE(fs::is_symlink("link.dat"));
  EXPECT_EQ(read_file("real/out.dat"), " new\n");
  EXPECT_EQ(fs::status("real/out.dat").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write); // the earlier file's permissions

  // A device is written to, never replaced.
  EXPECT_TRUE(write_one_line("/dev/null", " discarded"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));

  // So is a pipe named through /proc/self/fd, whose link names no file ("pipe:[...]"), as
  // /dev/stdout names standard output when that is a pipe.
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string pipe_name = "/proc/self/fd/" + std::to_string(ends[1]);
  EXPECT_TRUE(write_one_line(pipe_name.c_str(), " through the pipe"));
  ::close(ends[1]);
  char got[64] = {};
  EXPECT_EQ(std::string(got, static_cast<std::size_t>(::read(ends[0], got, sizeof got))),
            " through the pipe\n");
  ::close(ends[0]);
}

TEST(OpenNewFile, AFileThatCannotBeCompletedIsReported) {
  ScratchDir dir;
  ConsoleFixture f;
  int ierr = -1;
  open_new_file(f.io, fixed_text("/dev/full", 80), 11, 0, ierr, 1, 0, 0);
  ASSERT_EQ(ierr, 0);
  EXPECT_FALSE(f.io.output_failed());
  f.io.write_line(11, " a line the device cannot take");
  EXPECT_FALSE(f.io.close(11));
  EXPECT_TRUE(f.io.output_failed());
  EXPECT_EQ(f.text(), " ** Error writing file /dev/full : the file is incomplete **\n");

  ConsoleFixture g;
  open_new_file(g.io, fixed_text("nofolder/x.dat", 80), 12, 0, ierr, 1, 0, 0);
  EXPECT_EQ(ierr, 1);
  EXPECT_TRUE(g.io.output_failed());
}

// Files put in place together: all of them, or (when one cannot be finished) none; a renaming
// that fails part way leaves the files before it in place and drops the others. No temporary
// file is left either way, and the earlier files not replaced keep their bytes.
TEST(PutInPlaceTogether, AllOrNothing) {
  namespace fs = std::filesystem;
  struct Case {
    const char *what;
    std::vector<std::string> names;  // "-" for a stream
    std::function<void()> meanwhile; // before the files are put in place
    std::size_t placed;
    bool complete;
  };
  const Case cases[] = {
      {"every file", {"a.dat", "b.dat", "-"}, [] {}, 3, true},
      {"one that cannot be finished", {"a.dat", "/dev/full", "b.dat"}, [] {}, 0, false},
      {"a rename that fails part way",
       {"a.dat", "b.dat", "c.dat"},
       [] {
         fs::remove("b.dat");
         fs::create_directories("b.dat/inside");
       },
       1,
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const char *earlier : {"a.dat", "b.dat", "c.dat"})
      write_file(earlier, "earlier\n");
    std::ostringstream stream;
    std::vector<std::unique_ptr<ReplacingFile>> files;
    std::vector<ReplacingFile *> all;
    for (const std::string &name : c.names) {
      int error = 0;
      files.push_back(name == "-" ? ReplacingFile::on_stream(stream, "-")
                                  : ReplacingFile::create(name, error));
      ASSERT_TRUE(files.back()) << name << ": " << error;
      files.back()->write_line(" new " + name);
      all.push_back(files.back().get());
    }
    c.meanwhile();
    EXPECT_EQ(stream.str(), "") << "a stream output is held until it is put in place";
    const PlacedFiles placed = put_in_place_together(all);
    EXPECT_EQ(placed.complete(), c.complete);
    EXPECT_EQ(placed.finished, c.complete || c.placed > 0);
    ASSERT_EQ(placed.placed.size(), c.placed);
    EXPECT_EQ(placed.placed.size() + placed.not_placed.size(), c.names.size());
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      const std::string &name = c.names[i];
      const bool in_place = i < c.placed;
      if (name == "-") {
        EXPECT_EQ(stream.str(), in_place ? " new -\n" : "");
      } else if (fs::is_regular_file(name)) {
        EXPECT_EQ(read_file(name), in_place ? " new " + name + "\n" : "earlier\n") << name;
      }
    }
    for (const auto &entry : fs::directory_iterator(dir.path()))
      EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
  }
}
