// ostrand-plan: plans the example graph on a 64-tile IPU21 target and prints the report.
// Usage: ostrand-plan [DOT_OUTPUT_PATH]

#include <iostream>
#include <string>
#include <vector>

#include "driver.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  return ostrand::examples::main_entry(arguments, std::cout, std::cerr);
}
