#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "frame/bmp.h"
#include "frame/cell_grid.h"
#include "frame/workers.h"

namespace zorpix {

// Where a grid's top and bottom rows come from. A grid that holds the whole
// image, or a band at the image's top or bottom edge, meets the image's own
// wrap from its bottom row to its top one, in the order the whole image
// does. A band inside the image has rows at both ends that are there only
// for the rows between: their results are not used, and what the wrap
// carries between them doesn't matter.
enum class GridEdges { imageWrap, halo };

// What sets one program apart from the other; everything else of the frame is
// shared.
struct Profile {
  std::string_view name;          // "zorpix", as the console texts name it
  std::string_view outputFolder;  // "scaled"
  bool doublesImage;              // the scaler's doubled grid, or one cell per pixel
  std::int32_t maxSide;           // longest side the grid's 16-bit counts allow
  // How many source rows above and below a result row can reach into it
  // (counted around the wrap from the top row to the bottom one); 0 when any
  // row may reach any other. A short reach lets the image be worked through
  // in bands, each with that many rows more on either side, several at once.
  std::int32_t rowReach;
  // Source pixels of results one band gives, at least: small enough for a
  // band's grid to stay in cache, large enough that the rows around it, done
  // twice, stay few.
  std::int64_t bandPixels;
  // The algorithm, given the run's key colour and refinement mode.
  void (*algorithm)(CellGrid<std::uint8_t>&, const AlphaColor&, std::int32_t, GridEdges,
                    Workers&);
};

// Takes the next count bytes of a result; false when it can't.
using ByteSink = std::function<bool(const std::uint8_t* bytes, std::size_t count)>;

// The bytes of a file as the pipeline takes them, a stretch at a time, from
// several threads at once: a file held in memory hands out its own, one on
// disk reads them.
class FileBytes {
 public:
  virtual ~FileBytes() = default;
  // The count bytes at offset: where the source keeps them, or read into
  // buffer, which has room for count; nothing when they can't all be had.
  virtual const std::uint8_t* read(std::uint64_t offset, std::size_t count,
                                   std::uint8_t* buffer) const = 0;
  // Whether read ever uses its buffer.
  virtual bool readsIntoBuffer() const = 0;
};

// The whole of one file's way through a program, from the bytes of the file
// to the bytes of its result: decode, fill the program's grid, run its
// algorithm, encode. The result, a plain bottom-up 24-bit BMP, goes to sink
// in order, header first; nothing reaches the sink unless the whole result
// is ready to follow. Returns why there is no result, or nothing.
std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink);

// The same for a file of fileSize bytes, of which head holds the first ones,
// as many as bmpHeadersBytes asks for; the pixel rows come from bytes as each
// band needs them. Rows that can no longer be read, as of a file cut short
// meanwhile, make it truncated, also after part of the result went to sink.
std::optional<FileProblem> transformFile(const Profile& profile, ByteView head,
                                         std::uint64_t fileSize, const FileBytes& bytes,
                                         const Settings& settings, Workers& workers,
                                         const ByteSink& sink);

// The same, with the result's bytes appended to result.
std::optional<FileProblem> transformFile(const Profile& profile, ByteView file,
                                         const Settings& settings, Workers& workers,
                                         std::vector<std::uint8_t>& result);

}  // namespace zorpix
