// Writes the benchmark images: make_sprites <file.bmp> <width> <height> [seed]
#include <cstdio>
#include <cstdlib>

#include "sprite_sheet.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: make_sprites <file.bmp> <width> <height> [seed]\n");
    return 2;
  }
  const auto sheet = zorpix::bench::makeSpriteSheet(
      std::atoi(argv[2]), std::atoi(argv[3]), argc > 4 ? std::uint32_t(std::atoi(argv[4])) : 1u);
  const auto bytes = zorpix::bench::bmpFile(sheet);
  FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
    std::perror(argv[1]);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
