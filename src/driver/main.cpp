// bantrisk: checks the detectors of a time-of-flight instrument after a run.
#include <iostream>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "lib/console.hpp"
#include "lib/io.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  bantrisk::Console console(std::cin, std::cout);
  if (!bantrisk::claim_check_folder(console))
    return bantrisk::exit_fatal;
  bantrisk::Io io(console);
  bantrisk::dataaccess::Session session;
  return bantrisk::bantrisk_nget(io, session, std::cerr);
}
