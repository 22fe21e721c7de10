// TWSccSetup: registers the provider module and places the Photoshop plug-in.
#include <iostream>

#include "tools/twsccsetup/cli.h"

int main(int argc, char** argv) {
  return tw::twsccsetup::RunCommandLine(argc, argv, std::cout, std::cerr);
}
