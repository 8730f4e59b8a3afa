#pragma once

// The engine of the zorpix and dezorpix programs, for programs of your own:
// double or smooth a 24-bit BMP held in memory, with the same result bytes as
// the programs give for the same file and settings. Every call works on its
// own data only, so several threads may each work on an image at once.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zorpix {

// The key colour that marks the transparent background. The programs accept
// any number on their command line, so each channel is kept in 16 bits.
struct AlphaColor {
  std::int16_t red = 0;
  std::int16_t green = 255;
  std::int16_t blue = 255;
};

// What one run chooses: the key colour, and for the doubler the refinement
// mode (2 or more: one round that keeps every source pixel; 0: two rounds
// that may recolour the source pixels the first used; 1 or less: two rounds
// that may recolour those it did not use).
struct Settings {
  AlphaColor alphaColor;
  std::int32_t refineMode = 0;
};

// Why a file gave no result.
enum class FileProblem {
  notBitmap24,     // no "BM", headers cut short or of unknown size, not 24 bits, or compressed
  badDataOffset,   // pixel data said to start inside the headers
  truncated,       // fewer pixel bytes than width and height need
  sizeOutOfRange,  // negative width, or a side the program can't count
  noMemory,        // the image's working memory could not be had
  notStored,       // the result's bytes could not be handed on
};

// The doubled image as zorpix writes it into scaled/, appended to result.
// Sides up to 16383 pixels.
std::optional<FileProblem> doubleBmp(const std::uint8_t* file, std::size_t size,
                                     const Settings& settings, std::vector<std::uint8_t>& result);

// The smoothed image as dezorpix writes it into restored/, appended to
// result. Sides up to 32767 pixels; refineMode is not used.
std::optional<FileProblem> restoreBmp(const std::uint8_t* file, std::size_t size,
                                      const Settings& settings, std::vector<std::uint8_t>& result);

}  // namespace zorpix
