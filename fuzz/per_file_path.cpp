#include "fuzz/per_file_path.h"

#include <algorithm>
#include <optional>
#include <variant>

#include "frame/bmp.h"
#include "frame/pipeline.h"
#include "restorer/restore_grid.h"
#include "scaler/scale_grid.h"

namespace zorpix::fuzzing {
namespace {

std::int16_t le16At(const std::uint8_t* p) {
  return static_cast<std::int16_t>(std::uint16_t(p[0] | p[1] << 8));
}

const Profile& profileOf(Program program) {
  return program == Program::zorpix ? kScalerProfile : kRestorerProfile;
}

// Pools live for the whole fuzzing run: starting threads for every input
// would cost more than most inputs.
Workers& pool(int count) {
  static Workers pools[4] = {Workers(1), Workers(2), Workers(3), Workers(4)};
  return pools[std::clamp(count, 1, 4) - 1];
}

// The result's bytes, or nothing when the pipeline turned the file away.
// With smallestBands, the image goes in bands as small as the program takes,
// as only large images do otherwise.
std::optional<std::vector<std::uint8_t>> resultOf(Program program, ByteView file,
                                                  const Settings& settings, int workers,
                                                  bool smallestBands = false) {
  Profile profile = profileOf(program);
  if (smallestBands) profile.bandPixels = 1;
  std::vector<std::uint8_t> out;
  if (transformFile(profile, file, settings, pool(workers), out)) return std::nullopt;
  return out;
}

// A file's bytes as a file on disk hands them out: copied into the buffer.
class CopiedBytes final : public FileBytes {
 public:
  explicit CopiedBytes(ByteView file) : file_(file) {}
  const std::uint8_t* read(std::uint64_t offset, std::size_t count,
                           std::uint8_t* buffer) const override {
    const std::uint8_t* bytes = file_.span(offset, count);
    if (bytes == nullptr) return nullptr;
    std::copy_n(bytes, count, buffer);
    return buffer;
  }
  bool readsIntoBuffer() const override { return true; }

 private:
  ByteView file_;
};

ByteView headersOf(ByteView file) {
  const auto bytes = std::size_t(bmpHeadersBytes(file, file.size()));
  return ByteView(file.span(0, bytes), bytes);
}

// The same, as the programs take a large file: only its headers held, its
// rows read band by band, in the smallest bands.
std::optional<std::vector<std::uint8_t>> resultReadAsNeeded(Program program, ByteView file,
                                                            const Settings& settings, int workers) {
  Profile profile = profileOf(program);
  profile.bandPixels = 1;
  std::vector<std::uint8_t> out;
  const auto problem =
      transformFile(profile, headersOf(file), file.size(), CopiedBytes(file), settings,
                    pool(workers), [&out](const std::uint8_t* bytes, std::size_t count) {
                      out.insert(out.end(), bytes, bytes + count);
                      return true;
                    });
  if (problem) return std::nullopt;
  return out;
}

std::uint32_t le32At(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}

// The result must be a plain bottom-up 24-bit BMP of the program's size,
// readable by the frame's own decoder, with zero padding.
std::string checkOutput(const std::vector<std::uint8_t>& out, const BmpImage& input, int scale) {
  BmpResult decoded = decodeBmp(ByteView(out.data(), out.size()), kRestorerProfile.maxSide);
  if (std::holds_alternative<FileProblem>(decoded)) return "the result does not decode";
  const BmpImage& result = std::get<BmpImage>(decoded);
  if (result.width != scale * input.width || result.height != scale * input.height)
    return "the result has the wrong size";
  if (result.topDown) return "the result is stored top-down";
  if (le32At(out, 2) != out.size()) return "the result's file size field is wrong";
  if (le32At(out, 10) != kBmpHeaderBytes || le32At(out, 14) != 40)
    return "the result's header layout is wrong";
  if (le32At(out, 34) != out.size() - kBmpHeaderBytes) return "the result's image size is wrong";
  const std::size_t pixelBytes = 3 * std::size_t(result.width);
  for (std::int32_t y = 0; y < result.height; ++y) {
    const std::uint8_t* row = result.rowFromTop(y);
    if (!std::all_of(row + pixelBytes, row + result.rowBytes, [](std::uint8_t b) { return b == 0; }))
      return "a padding byte of the result is not zero";
  }
  return {};
}

// With refinement rounds switched off, nothing may touch a source pixel: each
// comes out at the top-left of its 2x2 block.
std::string checkSourcePixels(const std::vector<std::uint8_t>& out, const BmpImage& input) {
  BmpResult decoded = decodeBmp(ByteView(out.data(), out.size()), kRestorerProfile.maxSide);
  const BmpImage& result = std::get<BmpImage>(decoded);
  for (std::int32_t y = 0; y < input.height; ++y) {
    const std::uint8_t* source = input.rowFromTop(y);
    const std::uint8_t* target = result.rowFromTop(2 * y);
    for (std::int32_t x = 0; x < input.width; ++x)
      if (!std::equal(source + 3 * x, source + 3 * x + 3, target + 6 * x))
        return "source pixel " + std::to_string(x) + "," + std::to_string(y) + " moved";
  }
  return {};
}

}  // namespace

RunSettings settingsFrom(const std::uint8_t* data, std::size_t size) {
  std::uint8_t b[kSettingsBytes] = {};
  std::copy_n(data, std::min(size, kSettingsBytes), b);
  RunSettings s;
  s.settings.refineMode = static_cast<std::int8_t>(b[0]);
  AlphaColor& key = s.settings.alphaColor;
  switch (b[1] & 3) {
    case 0:
      key = AlphaColor{0, 255, 255};
      break;
    case 1:
      key = AlphaColor{255, 0, 255};
      break;
    case 2:
      key = AlphaColor{b[2], b[3], b[4]};
      break;
    default:
      key = AlphaColor{le16At(b + 2), le16At(b + 4), le16At(b + 6)};
      break;
  }
  s.workers = 1 + ((b[1] >> 2) & 3);
  return s;
}

std::vector<std::uint8_t> settingsBytes(const RunSettings& s) {
  std::vector<std::uint8_t> b(kSettingsBytes, 0);
  const AlphaColor& key = s.settings.alphaColor;
  b[0] = std::uint8_t(static_cast<std::int8_t>(s.settings.refineMode));
  int choice = 3;
  if (key.red == 0 && key.green == 255 && key.blue == 255)
    choice = 0;
  else if (key.red == 255 && key.green == 0 && key.blue == 255)
    choice = 1;
  else if (alphaColorFitsBytes(key))
    choice = 2;
  b[1] = std::uint8_t(choice | ((s.workers - 1) & 3) << 2);
  if (choice == 2) {
    b[2] = std::uint8_t(key.red);
    b[3] = std::uint8_t(key.green);
    b[4] = std::uint8_t(key.blue);
  } else if (choice == 3) {
    const std::int16_t channels[3] = {key.red, key.green, key.blue};
    for (int i = 0; i < 3; ++i) {
      b[2 + 2 * std::size_t(i)] = std::uint8_t(std::uint16_t(channels[i]));
      b[3 + 2 * std::size_t(i)] = std::uint8_t(std::uint16_t(channels[i]) >> 8);
    }
  }
  return b;
}

std::string checkInput(Program program, const std::uint8_t* data, std::size_t size) {
  const RunSettings run = settingsFrom(data, size);
  const std::size_t skip = std::min(size, kSettingsBytes);
  const ByteView file(data + skip, size - skip);
  const std::int32_t maxSide = profileOf(program).maxSide;
  const BmpResult whole = decodeBmp(file, maxSide);
  const BmpResult headers = decodeBmpHeaders(headersOf(file), file.size(), maxSide);
  if (whole.index() != headers.index() ||
      (std::holds_alternative<FileProblem>(whole) &&
       std::get<FileProblem>(whole) != std::get<FileProblem>(headers)))
    return "the headers alone decide otherwise than the whole file";
  const auto result = resultOf(program, file, run.settings, run.workers);
  if (!result) return {};  // turned away: that is the path's answer for such a file
  if (run.workers > 1 && resultOf(program, file, run.settings, 1) != result)
    return "more workers give other bytes than one";
  if (resultOf(program, file, run.settings, run.workers, true) != result)
    return "the image in bands gives other bytes than whole";
  if (resultReadAsNeeded(program, file, run.settings, run.workers) != result)
    return "the rows read band by band give other bytes than the file held whole";

  // The decoder took the file, so it describes the source image.
  const BmpImage image =
      std::get<BmpImage>(decodeBmp(file, profileOf(program).maxSide));
  const bool doubles = program == Program::zorpix;
  std::string problem = checkOutput(*result, image, doubles ? 2 : 1);
  if (problem.empty() && doubles && run.settings.refineMode > 1)
    problem = checkSourcePixels(*result, image);
  return problem;
}

namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v);
  put16(out, v >> 16);
}

struct SeedShape {
  int width = 0;
  int height = 0;
  bool topDown = false;
  std::uint32_t infoSize = 40;
  std::uint32_t gap = 0;    // bytes between the headers and the pixels
  std::uint32_t after = 0;  // bytes after the pixels
};

// A sprite: an ellipse of varied colours on the key colour, the kind of image
// the programs are made for, so the key-colour paths get work too.
std::vector<std::uint8_t> spriteBmp(const SeedShape& shape, const AlphaColor& key) {
  const std::uint32_t rowBytes = (std::uint32_t(shape.width) * 3 + 3) / 4 * 4;
  const std::uint32_t offset = 14 + shape.infoSize + shape.gap;
  const std::uint32_t pixelBytes = rowBytes * std::uint32_t(shape.height);
  std::vector<std::uint8_t> out{'B', 'M'};
  put32(out, offset + pixelBytes + shape.after);
  put32(out, 0);
  put32(out, offset);
  put32(out, shape.infoSize);
  put32(out, std::uint32_t(shape.width));
  put32(out, std::uint32_t(shape.topDown ? -shape.height : shape.height));
  put16(out, 1);
  put16(out, 24);
  put32(out, 0);
  put32(out, pixelBytes);
  put32(out, 2835);
  put32(out, 2835);
  put32(out, 0);
  put32(out, 0);
  out.resize(offset, 0);
  for (int k = 0; k < shape.height; ++k) {
    const int y = shape.topDown ? k : shape.height - 1 - k;
    for (int x = 0; x < shape.width; ++x) {
      const double dx = (x + 0.5) / shape.width - 0.5;
      const double dy = (y + 0.5) / shape.height - 0.5;
      const bool inside = dx * dx + dy * dy < 0.16;
      out.push_back(std::uint8_t(inside ? 40 * y : key.blue));
      out.push_back(std::uint8_t(inside ? 90 + 30 * x : key.green));
      out.push_back(std::uint8_t(inside ? 200 - 20 * (x ^ y) : key.red));
    }
    out.resize(out.size() + rowBytes - std::uint32_t(shape.width) * 3, 0);
  }
  out.resize(out.size() + shape.after, 0x5a);
  return out;
}

// The same kind of sprite behind the 12-byte core header of the oldest BMP
// files: 16-bit sides, no compression field, padded bottom-up rows.
std::vector<std::uint8_t> coreHeaderBmp(int width, int height, std::uint16_t bitCount) {
  const std::vector<std::uint8_t> standard = spriteBmp({width, height}, AlphaColor{});
  const std::uint32_t pixelBytes = std::uint32_t(standard.size()) - 54;
  std::vector<std::uint8_t> out{'B', 'M'};
  put32(out, 26 + pixelBytes);
  put32(out, 0);
  put32(out, 26);
  put32(out, 12);
  put16(out, std::uint32_t(width));
  put16(out, std::uint32_t(height));
  put16(out, 1);
  put16(out, bitCount);
  out.insert(out.end(), standard.begin() + 54, standard.end());
  return out;
}

NamedInput seed(const std::string& name, const RunSettings& settings,
                const std::vector<std::uint8_t>& file) {
  NamedInput input{name, settingsBytes(settings)};
  input.bytes.insert(input.bytes.end(), file.begin(), file.end());
  return input;
}

RunSettings withKey(const AlphaColor& key, std::int32_t mode, int workers = 1) {
  RunSettings s;
  s.settings = Settings{key, mode};
  s.workers = workers;
  return s;
}

}  // namespace

std::vector<NamedInput> seedInputs(Program) {
  const AlphaColor cyan{0, 255, 255};
  const AlphaColor purple{255, 0, 255};
  const AlphaColor own{10, 20, 30};
  const AlphaColor wide{300, -1, 0};
  std::vector<NamedInput> seeds;
  const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {3, 2}, {4, 4}, {5, 3}, {7, 5}, {16, 9}, {33, 17}};
  for (const auto& [w, h] : sizes) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    seeds.push_back(seed("sprite-" + size, withKey(cyan, 0), spriteBmp({w, h}, cyan)));
  }
  seeds.push_back(seed("purple-mode1", withKey(purple, 1, 3), spriteBmp({12, 10}, purple)));
  seeds.push_back(seed("purple-mode2", withKey(purple, 2, 4), spriteBmp({12, 10}, purple)));
  seeds.push_back(seed("own-key-mode-1", withKey(own, -1, 2), spriteBmp({9, 7}, own)));
  seeds.push_back(seed("wide-key-mode0", withKey(wide, 0, 3), spriteBmp({6, 6}, wide)));
  seeds.push_back(seed("wide-key-mode2", withKey(wide, 2), spriteBmp({6, 6}, wide)));
  seeds.push_back(seed("top-down", withKey(cyan, 0), spriteBmp({5, 4, true}, cyan)));
  seeds.push_back(seed("v4-header", withKey(cyan, 2), spriteBmp({6, 3, false, 108}, cyan)));
  seeds.push_back(seed("v5-gap-tail", withKey(cyan, 0), spriteBmp({7, 3, true, 124, 12, 20}, cyan)));
  // Tall enough to go in several of the smallest bands of either program.
  seeds.push_back(seed("tall-mode0", withKey(cyan, 0, 2), spriteBmp({4, 300}, cyan)));
  seeds.push_back(seed("tall-wide-key", withKey(wide, 1), spriteBmp({3, 200}, wide)));
  seeds.push_back(seed("no-columns", withKey(cyan, 0), spriteBmp({0, 4}, cyan)));
  seeds.push_back(seed("no-rows", withKey(cyan, 0), spriteBmp({4, 0}, cyan)));

  auto cut = spriteBmp({5, 3}, cyan);
  cut.erase(cut.end() - 7, cut.end());
  seeds.push_back(seed("truncated", withKey(cyan, 0), cut));
  auto eightBit = spriteBmp({4, 2}, cyan);
  eightBit[28] = 8;
  seeds.push_back(seed("eight-bit", withKey(cyan, 0), eightBit));
  auto compressed = spriteBmp({4, 2}, cyan);
  compressed[30] = 1;
  seeds.push_back(seed("compressed", withKey(cyan, 0), compressed));
  seeds.push_back(seed("core-header", withKey(cyan, 0), coreHeaderBmp(5, 3, 24)));
  seeds.push_back(seed("core-header-8-bit", withKey(cyan, 0), coreHeaderBmp(5, 3, 8)));
  auto offsetZero = spriteBmp({4, 2}, cyan);
  std::fill_n(offsetZero.begin() + 10, 4, 0);
  seeds.push_back(seed("offset-zero", withKey(cyan, 0), offsetZero));
  seeds.push_back(seed("signature-only", withKey(cyan, 0), {'B', 'M'}));
  seeds.push_back(seed("empty", withKey(cyan, 0), {}));
  return seeds;
}

}  // namespace zorpix::fuzzing
