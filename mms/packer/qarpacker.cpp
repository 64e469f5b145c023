// qarpacker <options> <header file>: writes "<header file without extension>.MMS".
#include <string>
#include <vector>

#include "mms/packer/packer.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return RunPacker(args);
}
