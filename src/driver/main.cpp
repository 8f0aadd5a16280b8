// bantrisk: checks the detectors of a time-of-flight instrument after a run.
#include <iostream>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "lib/console.hpp"
#include "lib/io.hpp"
#include "lib/process_guard.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  bantrisk::install_signal_handling();
  bantrisk::Console console(std::cin, std::cout);
  // The check writes its files in the current folder: one check at a time there.
  if (bantrisk::lock_folder(".") == bantrisk::FolderLock::busy) {
    console.write_line(" ** ERROR: another check is running in this folder");
    return bantrisk::exit_fatal;
  }
  bantrisk::Io io(console);
  bantrisk::dataaccess::Session session;
  return bantrisk::bantrisk_nget(io, session, std::cerr);
}
