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
