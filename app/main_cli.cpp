// brivasto-cli: the transfers without a window.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return brivasto::RunFromCommandLine(arguments, std::cout, std::cerr);
}
