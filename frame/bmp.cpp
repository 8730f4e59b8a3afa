#include "frame/bmp.h"

#include <algorithm>
#include <limits>

namespace zorpix {

std::optional<std::uint16_t> ByteView::le16(std::uint64_t offset) const {
  const std::uint8_t* p = span(offset, 2);
  if (p == nullptr) return std::nullopt;
  return std::uint16_t(p[0] | (p[1] << 8));
}

std::optional<std::uint32_t> ByteView::le32(std::uint64_t offset) const {
  const std::uint8_t* p = span(offset, 4);
  if (p == nullptr) return std::nullopt;
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}

std::optional<std::int32_t> ByteView::les32(std::uint64_t offset) const {
  auto u = le32(offset);
  if (!u) return std::nullopt;
  return static_cast<std::int32_t>(*u);  // two's complement, as C++20 defines it
}

const std::uint8_t* ByteView::span(std::uint64_t offset, std::uint64_t count) const {
  if (offset > size_ || count > size_ - offset) return nullptr;
  return data_ + offset;
}

std::optional<std::uint64_t> bmpPixelBytes(std::int64_t width, std::int64_t height) {
  if (width < 0 || height < 0) return std::nullopt;
  // Sides beyond 2^31 can't be stored; below that the product fits 64 bits.
  if (width > std::numeric_limits<std::int32_t>::max() ||
      height > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  std::uint64_t bytes = bmpRowBytes(width) * std::uint64_t(height);
  if (bytes > std::numeric_limits<std::uint32_t>::max() - kBmpHeaderBytes) return std::nullopt;
  return bytes;
}

namespace {

// The geometry of the info header, whichever of its two layouts the file has.
struct InfoHeader {
  std::int64_t width = 0;
  std::int64_t height = 0;  // negative for rows stored top row first
  std::uint16_t bitCount = 0;
  std::uint32_t compression = 0;
  bool hasResolution = false;
};

// The 12-byte core header of OS/2 1.x, which converters still write when
// asked for the oldest BMP flavour: unsigned 16-bit sides, always bottom-up,
// no compression or resolution fields. Every longer header (40 bytes, the
// 64-byte OS/2 2.x one, V4, V5) starts with the 40-byte layout.
constexpr std::uint32_t kCoreInfoBytes = 12;
constexpr std::uint32_t kClassicInfoBytes = 40;

std::optional<InfoHeader> readInfoHeader(ByteView file, std::uint32_t infoSize) {
  InfoHeader info;
  if (infoSize == kCoreInfoBytes) {
    info.width = *file.le16(18);
    info.height = *file.le16(20);
    info.bitCount = *file.le16(24);
    return info;
  }
  if (infoSize < kClassicInfoBytes) return std::nullopt;
  info.width = *file.les32(18);
  info.height = *file.les32(22);
  info.bitCount = *file.le16(28);
  info.compression = *file.le32(30);
  info.hasResolution = true;
  return info;
}

}  // namespace

BmpResult decodeBmp(ByteView file, std::int32_t maxSide) {
  BmpResult decoded = decodeBmpHeaders(file, file.size(), maxSide);
  if (auto* image = std::get_if<BmpImage>(&decoded))
    image->pixels = file.span(image->pixelOffset, 0);
  return decoded;
}

BmpResult decodeBmpHeaders(ByteView file, std::uint64_t fileSize, std::int32_t maxSide) {
  // File header (14 bytes), then the info header, whose own first field is
  // its size. Whatever the file holds of the headers is in the view.
  const std::uint8_t* signature = file.span(0, 2);
  if (signature == nullptr || signature[0] != 'B' || signature[1] != 'M')
    return FileProblem::notBitmap24;
  auto infoSize = file.le32(14);
  if (!infoSize || file.span(14, *infoSize) == nullptr) return FileProblem::notBitmap24;
  const std::optional<InfoHeader> info = readInfoHeader(file, *infoSize);
  if (!info || info->bitCount != 24 || info->compression != 0) return FileProblem::notBitmap24;

  std::int64_t width = info->width;
  std::int64_t height = info->height;
  BmpImage image;
  image.topDown = height < 0;
  if (height < 0) height = -height;  // 64-bit, so -2^31 is safe
  if (width < 0 || width > maxSide || height > maxSide) return FileProblem::sizeOutOfRange;

  std::uint64_t dataOffset = *file.le32(10);
  if (dataOffset < 14 + std::uint64_t(*infoSize)) return FileProblem::badDataOffset;
  image.width = std::int32_t(width);
  image.height = std::int32_t(height);
  image.rowBytes = bmpRowBytes(width);
  // The last row's padding may be missing from a file; its pixels may not.
  std::uint64_t needed = height == 0 ? 0 : image.rowBytes * std::uint64_t(height - 1) + 3 * width;
  if (dataOffset > fileSize || needed > fileSize - dataOffset) return FileProblem::truncated;
  image.pixelOffset = dataOffset;

  // Without the fields (core header) the result says "unknown", as a 0 does.
  if (info->hasResolution) {
    const std::uint8_t* resolution = file.span(38, 8);
    for (std::size_t i = 0; i < image.resolution.size(); ++i) image.resolution[i] = resolution[i];
  }
  return image;
}

namespace {

void put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
  put16(p, v);
  put16(p + 2, v >> 16);
}

}  // namespace

std::array<std::uint8_t, kBmpHeaderBytes> bmpHeader(std::int32_t width, std::int32_t height,
                                                   const std::array<std::uint8_t, 8>& resolution) {
  std::uint32_t imageBytes = std::uint32_t(*bmpPixelBytes(width, height));
  std::array<std::uint8_t, kBmpHeaderBytes> h{};
  h[0] = 'B';
  h[1] = 'M';
  put32(&h[2], std::uint32_t(kBmpHeaderBytes) + imageBytes);
  put32(&h[10], std::uint32_t(kBmpHeaderBytes));
  put32(&h[14], 40);
  put32(&h[18], std::uint32_t(width));
  put32(&h[22], std::uint32_t(height));
  put16(&h[26], 1);
  put16(&h[28], 24);
  put32(&h[34], imageBytes);
  for (std::size_t i = 0; i < resolution.size(); ++i) h[38 + i] = resolution[i];
  return h;
}

std::uint64_t bmpHeadersBytes(ByteView head, std::uint64_t fileSize) {
  std::uint64_t end = kBmpHeaderBytes;
  if (const auto infoSize = head.le32(14)) end = std::max(end, 14 + std::uint64_t(*infoSize));
  return std::min(fileSize, end);
}

std::uint64_t bmpBytesToRead(ByteView head, std::uint64_t fileSize, std::int32_t maxSide) {
  // Mirrors decodeBmp's checks: whatever it turns away on the headers alone
  // needs no more than them; a size it would take needs its rows as well.
  const std::uint8_t* signature = head.span(0, 2);
  if (signature == nullptr || signature[0] != 'B' || signature[1] != 'M')
    return std::min<std::uint64_t>(fileSize, kBmpHeaderBytes);
  const auto dataOffset = head.le32(10);
  const auto infoSize = head.le32(14);
  if (!dataOffset || !infoSize) return fileSize;
  std::optional<std::int64_t> width, height;
  std::optional<std::uint16_t> bitCount;
  bool compressed = false;
  if (*infoSize == 12) {
    // The OS/2 core header: unsigned 16-bit sides, rows always bottom-up.
    if (auto w = head.le16(18)) width = *w;
    if (auto h = head.le16(20)) height = *h;
    bitCount = head.le16(24);
  } else if (*infoSize >= 40) {
    if (auto w = head.les32(18)) width = *w;
    if (auto h = head.les32(22)) height = *h < 0 ? -std::int64_t(*h) : std::int64_t(*h);
    bitCount = head.le16(28);
    const auto compression = head.le32(30);
    compressed = !compression || *compression != 0;
  } else {
    return fileSize;
  }
  if (!width || !height || !bitCount) return fileSize;

  std::uint64_t end = std::max<std::uint64_t>(kBmpHeaderBytes, 14 + std::uint64_t(*infoSize));
  if (*bitCount == 24 && !compressed && *width >= 0 && *width <= maxSide && *height <= maxSide)
    end = std::max(end, *dataOffset + bmpRowBytes(*width) * std::uint64_t(*height));
  return std::min(fileSize, end);
}

}  // namespace zorpix
