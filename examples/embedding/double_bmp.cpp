// double_bmp IN.bmp OUT.bmp R G B MODE: doubles one file exactly as
// `zorpix R G B MODE` doubles it into scaled/.
#include <zorpix/zorpix.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

// The low 16 bits, as the programs keep a colour given on their command line.
std::int16_t channel(const char* text) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(std::strtol(text, nullptr, 10)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: double_bmp IN.bmp OUT.bmp R G B MODE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> file(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(file.data()), std::streamsize(file.size()))) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }

  zorpix::Settings settings;
  settings.alphaColor = {channel(argv[3]), channel(argv[4]), channel(argv[5])};
  settings.refineMode = static_cast<std::int32_t>(std::strtol(argv[6], nullptr, 10));

  std::vector<std::uint8_t> result;
  if (zorpix::doubleBmp(file.data(), file.size(), settings, result)) {
    std::fprintf(stderr, "%s is not a 24-bit BMP zorpix can double\n", argv[1]);
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(result.data()), std::streamsize(result.size()));
  return out.good() ? 0 : 1;
}
