#pragma once

// Test-side BMP writing and reading, independent of the programs' own codec,
// and a harness that runs the real programs in a temporary folder.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace zorpix::testing {

struct Rgb {
  int red = 0;
  int green = 0;
  int blue = 0;
  bool operator==(const Rgb&) const = default;
};

inline void PrintTo(const Rgb& p, std::ostream* os) {
  *os << "(" << p.red << ", " << p.green << ", " << p.blue << ")";
}

// Pixels row by row from the image's top-left corner.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  Rgb at(int x, int y) const { return pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
  Rgb& at(int x, int y) { return pixels[std::size_t(y) * std::size_t(width) + std::size_t(x)]; }
};

// Every pixel different, so misplaced pixels show.
Image patternImage(int width, int height, unsigned seed = 1);
Image filledImage(int width, int height, Rgb colour);

struct BmpLayout {
  bool topDown = false;
  // 108 and 124 make V4 and V5 headers; 12 the OS/2 core one (bottom-up, no
  // compression or resolution fields).
  std::uint32_t infoHeaderSize = 40;
  std::uint32_t gapBeforePixels = 0;  // a palette or other bytes after the headers
  std::uint32_t bytesAfterPixels = 0;
  std::uint16_t bitCount = 24;
  std::uint32_t compression = 0;
  std::int32_t xPelsPerMeter = 2835;
  std::int32_t yPelsPerMeter = 2835;
};

std::vector<std::uint8_t> encodeBmp(const Image& image, const BmpLayout& layout = {});

// Parses a bottom-up or top-down 24-bit BMP with a 40-byte or longer header and
// checks its layout strictly (sizes, offsets, padding bytes zero). Fails the
// current test and returns an empty image on any mismatch.
Image decodeBmp(const std::vector<std::uint8_t>& bytes);

std::vector<std::uint8_t> readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);

// A fresh empty folder, removed with everything in it at the end of the test.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// AddressSanitizer reserves far more address space than a memory limit
// (ulimit -v) leaves, so tests that set one can't run under it.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

struct RunResult {
  std::string output;  // standard output
  int status = -1;     // exit status
};

// The console text after the banner and the confirmation line.
std::string fileLines(const RunResult& run);

// The names in a folder, sorted; none when it can't be read.
std::vector<std::string> entries(const std::filesystem::path& folder);

// Runs a program in folder with the given arguments; setup is a shell
// command run first in the same shell ("ulimit -f 8").
RunResult runProgram(const std::string& program, const std::filesystem::path& folder,
                     const std::vector<std::string>& args = {}, const std::string& setup = {});

// A program started in the background, for tests that act on it while it
// runs. It is the shell's own process (exec), so signals reach it directly.
// setup is a shell command run first, as for runProgram.
class BackgroundRun {
 public:
  BackgroundRun(const std::string& command, const std::filesystem::path& folder,
                const std::vector<std::string>& args, const std::string& setup = {});
  ~BackgroundRun();
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  pid_t pid() const { return pid_; }
  // Stops the run and returns once it has stopped.
  void stop();
  void resume();
  // Sends signal to a stopped run and lets it go on to receive it.
  void sendAndContinue(int signal);
  // Reads what the run printed next, up to size bytes; 0 at its end.
  long readSome(char* buffer, std::size_t size);
  // Reads the run's output to its end and waits for it.
  RunResult finish();
  long maxResidentKb() const { return maxResidentKb_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  long maxResidentKb_ = 0;
};

// The programs under test, as the build put them (or as ZORPIX_EXE and
// DEZORPIX_EXE name them, with ZORPIX_RUNNER as a prefix command).
std::string zorpixProgram();
std::string dezorpixProgram();

// One of the two programs as the end-to-end tests run it.
struct ProgramUnderTest {
  std::string name;     // as its console texts name it
  std::string command;  // what runs it
  std::string folder;   // its output folder
  int scale;            // sides of a result per side of its source
  int maxSide;          // the longest side it takes
};

// For tests over both programs: 0 is zorpix, 1 dezorpix.
ProgramUnderTest programUnderTest(int which);

// The separator the programs put between folder and file name.
char outputSeparator();

// The programs under test are the Windows build, run through ZORPIX_RUNNER:
// they list a folder in the platform's own order, and POSIX shell limits
// such as "ulimit -f" don't reach them.
bool testsWindowsPrograms();

}  // namespace zorpix::testing
