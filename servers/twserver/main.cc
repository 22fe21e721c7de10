// TWServer: the reference Veltrane server and its administration.
#include <iostream>

#include "servers/twserver/cli.h"

int main(int argc, char** argv) {
  return tw::twserver::RunCommandLine(argc, argv, std::cin, std::cout, std::cerr);
}
