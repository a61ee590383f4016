// Writes the manual page, rendered from the command line's table of
// options, to the file named by its one argument.

#include <fstream>
#include <iostream>

#include "CommandLineOptions.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: " << argv[0] << " FILE\n";
    return 2;
  }
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << command_line::ManualPage();
  out.close();
  if (!out) {
    std::cerr << argv[0] << ": cannot write " << argv[1] << '\n';
    return 1;
  }
  return 0;
}
