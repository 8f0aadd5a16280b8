#include <gtest/gtest.h>

#include "driver_harness.hpp"

using namespace bantrisk::testing;

TEST(DriverPass, MenuRefusalsThenHeaderInResultsFile) {
  ScratchDir dir;
  const PassResult r = run_pass("3\n\n\n\n\n\n\n");
  const std::string header = " ****************************************\n"
                             " * BANTRISK : Detector checking program *\n"
                             " * Vorn Askell                   8-5-02 *\n"
                             " ****************************************\n"
                             "\n";
  EXPECT_EQ(read_file(dir.path() / "bantrisk.dat").substr(0, header.size()), header);
  const std::string menu = " Options...\n 1) Read data from .RAW file\n"
                           " 2) Read integrals from previous run of bantrisk\n Give option (1) > ";
  EXPECT_NE(r.console.find(header + menu + menu), std::string::npos) << r.console;
}

TEST(DriverPass, AMaskFileThatCannotBeCreatedMakesTheEndAFailure) {
  ScratchDir dir;
  write_file("bantrisk.ans", " 1\n 1 5\n");
  write_file("specfile.dat", "1\n1 spectra.dat\n");
  write_file("spectra.dat", "map\n1\nentries\n113045 1\n");
  // Option 2, then every default, the mask into a folder that does not exist, the pause.
  const PassResult r = run_pass("2\n\n\n\n\n9\n0\n1\nnofolder/m.mask\n1\n\n");
  EXPECT_NE(r.console.find(" ** Error in open_new_file **\n"), std::string::npos) << r.console;
  EXPECT_NE(r.console.find(" Press Enter to finish > "), std::string::npos) << r.console;
  EXPECT_EQ(r.status, bantrisk::exit_fatal);
}
