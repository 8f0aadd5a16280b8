// bantrisk: checks the detectors of a time-of-flight instrument after a run.
#include "driver/command_line.hpp"

int main(int argc, char **argv) {
  return bantrisk::bantrisk_main(argc, argv);
}
