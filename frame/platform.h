#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frame/bmp.h"
#include "frame/large_buffer.h"
#include "frame/pipeline.h"

// The little the programs need from the operating system: list a folder,
// create one, read a file whole and replace a file without ever leaving a
// half-written one under its final name.
namespace zorpix {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The names of the working folder's entries that match "*.bmp" regardless of
// letter case, sub-folders included. Windows gives them in its own order;
// elsewhere they are sorted by byte value so every run goes the same way.
// Nothing when the folder can't be read.
std::optional<std::vector<std::string>> listBitmaps();

// Makes a write past the process's file-size limit fail like any other write
// (reported, the batch goes on) instead of ending the program.
void reportOversizeWrites();

// Makes an interrupted run (Ctrl+C, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, or a
// closed console window) remove the temporary files it is writing before it
// ends as the interruption would have ended it. Call once at program start.
void removeTemporariesOnInterrupt();

// A file name as the console shows it: control characters, which could split
// a line or steer the terminal, become '?'.
std::string printableName(std::string_view name);

// Creates a sub-folder of the working folder; one that exists already is fine.
void makeFolder(const std::string& name);

// A file as the batch hands it on: held whole, or, when large, only its
// headers, with its pixel rows read from the open file as each band of the
// image needs them. That spares memory the size of the file, and the time
// it takes to have fresh memory.
struct LoadedFile {
  LargeBuffer bytes;
  std::size_t size = 0;             // bytes held
  std::uint64_t fileSize = 0;       // bytes the decoder may look at, held or not
  std::unique_ptr<FileBytes> rest;  // where those not held are read; none for a file held whole

  ByteView held() const {
    return ByteView(reinterpret_cast<const std::uint8_t*>(bytes.data()), size);
  }
};

// Reads a regular file as far as the BMP decoder can ever look into it: the
// whole file, except that a tail past the headers and pixel rows its header
// describes is neither read nor given memory, and that the pixel rows of a
// file with more than readWholeUpTo such bytes are left to be read as they
// are needed. False when it can't be opened or read (a folder, no
// permission, gone since it was listed). Throws std::bad_alloc when there is
// no memory for it.
bool loadFile(const std::string& name, std::uint64_t readWholeUpTo, LoadedFile& file);

// Writes a new file under a temporary name in the same folder and moves it
// over the final name only once every byte is written, so a failed write
// leaves any earlier file of that name untouched. The temporary file is
// removed when the run is interrupted, and a later run removes one that a
// killed run left behind. A folder that is a symbolic link is written into
// only when the link belongs to the user running the program or to the
// owner of the folder holding the link.
class ReplacingFile {
 public:
  ReplacingFile(const std::string& folder, const std::string& name);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Takes room on disk for a file of this many bytes ahead of the writes, as
  // a hint: the file's size and bytes stay what is written, and a failure
  // shows, if at all, in the writes.
  void reserve(std::uint64_t bytes);
  bool write(const std::uint8_t* data, std::size_t count);
  // Closes the file and puts it in place. False if anything failed on the way.
  bool commit();

 private:
  void discard();
  bool closeFile();
  void removeTemporary();
  void passOnWritten();

  std::string finalPath_;
  std::string tempPath_;
  std::string finalName_;
  std::string tempName_;
  std::intptr_t folder_ = -1;  // the output folder, opened once, where the system allows it
  std::intptr_t handle_ = -1;
  int slot_ = -1;  // where an interruption finds the temporary file
  bool failed_ = false;
  std::uint64_t written_ = 0;
  std::uint64_t handedOn_ = 0;  // bytes whose writing to disk has been started
};

// Prints one line of text given in UTF-8 and shows it at once. A Windows
// console gets it as UTF-16, so names in any script show as well as its font
// allows; a file or pipe gets the UTF-8 bytes.
void writeConsoleLine(std::string_view utf8);

}  // namespace zorpix
