// bantrisk-docs: writes the manual page and the bash completion made from the table of options,
// at build time, into the files named on its command line.
#include <fstream>
#include <iostream>
#include <string>

#include "driver/options.hpp"

namespace {

bool written(const char *file, const std::string &text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (out)
    return true;
  std::cerr << "bantrisk-docs: cannot write " << file << '\n';
  return false;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    std::cerr << "usage: bantrisk-docs MANUAL_PAGE COMPLETION\n";
    return 2;
  }
  return written(argv[1], bantrisk::manual_page()) && written(argv[2], bantrisk::bash_completion())
             ? 0
             : 1;
}
