#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "zorpix/zorpix.h"

namespace zorpix {

// A read-only window on a loaded file. Every header field and pixel row of an
// untrusted file is taken through it, so no read can pass the end.
class ByteView {
 public:
  ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::size_t size() const { return size_; }
  std::optional<std::uint16_t> le16(std::uint64_t offset) const;
  std::optional<std::uint32_t> le32(std::uint64_t offset) const;
  std::optional<std::int32_t> les32(std::uint64_t offset) const;
  // The count bytes at offset, or nothing when they don't all lie in the view.
  const std::uint8_t* span(std::uint64_t offset, std::uint64_t count) const;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// The pixel rows of an uncompressed 24-bit BMP, as they lie in the file.
struct BmpImage {
  std::int32_t width = 0;
  std::int32_t height = 0;  // always >= 0; topDown says how rows are stored
  bool topDown = false;
  std::uint64_t rowBytes = 0;        // stored row length, padded to 4 bytes
  std::uint64_t pixelOffset = 0;     // where the first stored row starts in the file
  const std::uint8_t* pixels = nullptr;  // first stored row, when the file is in memory
  // Horizontal and vertical pels per metre, as stored; all 0 when the header
  // has no such fields (the 12-byte core header).
  std::array<std::uint8_t, 8> resolution{};

  // Where row y counted from the image's top is stored, counted from the
  // first stored row.
  std::int64_t storedRow(std::int32_t y) const { return topDown ? y : height - 1 - y; }
  // Row y counted from the image's top: blue, green, red per pixel, left to right.
  const std::uint8_t* rowFromTop(std::int32_t y) const {
    return pixels + std::uint64_t(storedRow(y)) * rowBytes;
  }
};

// The image, or why the file is turned away: notBitmap24, badDataOffset,
// truncated or sizeOutOfRange.
using BmpResult = std::variant<BmpImage, FileProblem>;

// Reads the headers of a 24-bit BMP held whole in memory and locates its
// pixels. A side longer than maxSide is refused before anything is allocated.
BmpResult decodeBmp(ByteView file, std::int32_t maxSide);

// The same for a file of fileSize bytes of which head holds the first ones,
// as many as bmpHeadersBytes says: the result is decodeBmp's, but for pixels,
// which stays null.
BmpResult decodeBmpHeaders(ByteView head, std::uint64_t fileSize, std::int32_t maxSide);

constexpr std::size_t kBmpHeaderBytes = 54;

// How many of its first bytes decodeBmpHeaders needs of a file: up to the end
// of its info header, kBmpHeaderBytes at least, all of a shorter file. head
// holds the file's first kBmpHeaderBytes bytes, or all of a shorter file.
std::uint64_t bmpHeadersBytes(ByteView head, std::uint64_t fileSize);

// Bytes of one stored row of width pixels: 3 per pixel, padded to 4.
inline std::uint64_t bmpRowBytes(std::int64_t width) {
  return (std::uint64_t(width) * 3 + 3) / 4 * 4;
}

// Bytes of the whole pixel array, or nothing when a 24-bit BMP can't describe
// it (the format counts the file's size in 32 bits).
std::optional<std::uint64_t> bmpPixelBytes(std::int64_t width, std::int64_t height);

// A fresh file header and 40-byte info header for a bottom-up uncompressed
// 24-bit image. The sides must satisfy bmpPixelBytes.
std::array<std::uint8_t, kBmpHeaderBytes> bmpHeader(std::int32_t width, std::int32_t height,
                                                   const std::array<std::uint8_t, 8>& resolution);

// How many bytes from the start of a file decodeBmp, with a maxSide of at
// most maxSide, can ever look at: the headers and the pixel rows the header
// describes, the whole file when the headers are not understood. head holds
// the file's first kBmpHeaderBytes bytes, or all of a shorter file. Decoding
// only that many bytes gives the same result as decoding the whole file, so
// a tail behind the pixels need never be read.
std::uint64_t bmpBytesToRead(ByteView head, std::uint64_t fileSize, std::int32_t maxSide);

}  // namespace zorpix
