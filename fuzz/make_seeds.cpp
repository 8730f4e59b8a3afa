// Writes the fuzzers' seed corpus: make_seeds <zorpix|dezorpix> <folder>.
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/per_file_path.h"

int main(int argc, char** argv) {
  using zorpix::fuzzing::Program;
  if (argc != 3 || (std::string(argv[1]) != "zorpix" && std::string(argv[1]) != "dezorpix")) {
    std::fprintf(stderr, "usage: make_seeds zorpix|dezorpix folder\n");
    return 2;
  }
  const Program program = std::string(argv[1]) == "zorpix" ? Program::zorpix : Program::dezorpix;
  for (const auto& input : zorpix::fuzzing::seedInputs(program)) {
    const std::string path = std::string(argv[2]) + "/" + input.name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(input.bytes.data()), std::streamsize(input.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
