// bantrisk: checks the detectors of a time-of-flight instrument after a run.
#include <iostream>
#include <unistd.h>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "lib/console.hpp"
#include "lib/io.hpp"

int main() {
  std::ios::sync_with_stdio(false);
  // Console lines are written in blocks unless a person watches them at a terminal; every
  // question flushes them.
  bantrisk::Console console(std::cin, std::cout, ::isatty(STDOUT_FILENO) != 0);
  bantrisk::Io io(console);
  bantrisk::dataaccess::Session session;
  return bantrisk::bantrisk_nget(io, session, std::cerr);
}
