#include "support/test_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

namespace zorpix::testing {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(std::uint8_t(v));
  out.push_back(std::uint8_t(v >> 8));
}
void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  put16(out, v);
  put16(out, v >> 16);
}
std::uint32_t get32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}
std::uint32_t get16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8;
}

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return quoted + "'";
}

std::string fromEnvironment(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

}  // namespace

Image patternImage(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  Image image{width, height, {}};
  image.pixels.resize(std::size_t(width) * std::size_t(height));
  for (Rgb& p : image.pixels) {
    // Never the default key colour, so the scaler treats every pixel as sprite.
    p = Rgb{int(random() % 256), int(random() % 255), int(random() % 256)};
  }
  return image;
}

Image filledImage(int width, int height, Rgb colour) {
  return Image{width, height, std::vector<Rgb>(std::size_t(width) * std::size_t(height), colour)};
}

std::vector<std::uint8_t> encodeBmp(const Image& image, const BmpLayout& layout) {
  if (layout.infoHeaderSize == 12) {
    // The OS/2 core header: 16-bit sides, planes and bit count, and nothing
    // more. The rest is the classic file with its 40-byte header swapped out.
    BmpLayout classic = layout;
    classic.infoHeaderSize = 40;
    const std::vector<std::uint8_t> full = encodeBmp(image, classic);
    std::vector<std::uint8_t> out{'B', 'M'};
    put32(out, get32(full, 2) - 28);
    put32(out, 0);
    put32(out, get32(full, 10) - 28);
    put32(out, 12);
    put16(out, std::uint32_t(image.width));
    put16(out, std::uint32_t(image.height));
    put16(out, 1);
    put16(out, layout.bitCount);
    out.insert(out.end(), full.begin() + 54, full.end());
    return out;
  }
  const std::uint32_t rowBytes = (std::uint32_t(image.width) * 3 + 3) / 4 * 4;
  const std::uint32_t pixelBytes = rowBytes * std::uint32_t(image.height);
  const std::uint32_t offset = 14 + layout.infoHeaderSize + layout.gapBeforePixels;
  std::vector<std::uint8_t> out;
  out.push_back('B');
  out.push_back('M');
  put32(out, offset + pixelBytes + layout.bytesAfterPixels);
  put32(out, 0);
  put32(out, offset);
  put32(out, layout.infoHeaderSize);
  put32(out, std::uint32_t(image.width));
  put32(out, std::uint32_t(layout.topDown ? -image.height : image.height));
  put16(out, 1);
  put16(out, layout.bitCount);
  put32(out, layout.compression);
  put32(out, pixelBytes);
  put32(out, std::uint32_t(layout.xPelsPerMeter));
  put32(out, std::uint32_t(layout.yPelsPerMeter));
  put32(out, 0);
  put32(out, 0);
  out.resize(offset, 0x5a);  // the rest of a longer header, and the gap
  for (int k = 0; k < image.height; ++k) {
    const int y = layout.topDown ? k : image.height - 1 - k;
    for (int x = 0; x < image.width; ++x) {
      const Rgb& p = image.at(x, y);
      out.push_back(std::uint8_t(p.blue));
      out.push_back(std::uint8_t(p.green));
      out.push_back(std::uint8_t(p.red));
    }
    out.resize(out.size() + (rowBytes - std::uint32_t(image.width) * 3), 0);
  }
  out.resize(out.size() + layout.bytesAfterPixels, 0xa5);
  return out;
}

Image decodeBmp(const std::vector<std::uint8_t>& b) {
  Image failed;
  if (b.size() < 54) {
    ADD_FAILURE() << "BMP shorter than its headers: " << b.size() << " bytes";
    return failed;
  }
  EXPECT_EQ(b[0], 'B');
  EXPECT_EQ(b[1], 'M');
  const std::uint32_t offset = get32(b, 10);
  const auto width = std::int32_t(get32(b, 18));
  const auto rawHeight = std::int32_t(get32(b, 22));
  const int height = rawHeight < 0 ? -rawHeight : rawHeight;
  EXPECT_GE(get32(b, 14), 40u);
  EXPECT_EQ(get16(b, 26), 1u) << "planes";
  EXPECT_EQ(get16(b, 28), 24u) << "bit count";
  EXPECT_EQ(get32(b, 30), 0u) << "compression";
  const std::uint32_t rowBytes = (std::uint32_t(width) * 3 + 3) / 4 * 4;
  EXPECT_EQ(get32(b, 34), rowBytes * std::uint32_t(height)) << "image size";
  EXPECT_EQ(get32(b, 2), b.size()) << "file size";
  if (offset + std::uint64_t(rowBytes) * std::uint64_t(height) != b.size()) {
    ADD_FAILURE() << "pixel data doesn't end the file: offset " << offset << ", " << width << "x"
                  << height << ", " << b.size() << " bytes";
    return failed;
  }
  Image image{width, height, {}};
  image.pixels.resize(std::size_t(width) * std::size_t(height));
  for (int k = 0; k < height; ++k) {
    const int y = rawHeight < 0 ? k : height - 1 - k;
    const std::size_t row = offset + std::size_t(k) * rowBytes;
    for (int x = 0; x < width; ++x) {
      const std::size_t p = row + std::size_t(x) * 3;
      image.at(x, y) = Rgb{b[p + 2], b[p + 1], b[p]};
    }
    for (std::size_t pad = row + std::size_t(width) * 3; pad < row + rowBytes; ++pad)
      EXPECT_EQ(b[pad], 0) << "padding byte";
  }
  return image;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "can't open " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  ASSERT_TRUE(out.good()) << "can't write " << path;
}

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zorpix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Tests may have taken permissions away; give them back so removal works.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

RunResult runProgram(const std::string& program, const std::filesystem::path& folder,
                     const std::vector<std::string>& args, const std::string& setup) {
  std::string command = setup.empty() ? std::string() : setup + " && ";
  command.append("cd ");
  command.append(shellQuote(folder.string())).append(" && exec ").append(program);
  for (const std::string& arg : args) command.append(" ").append(shellQuote(arg));
  RunResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  // A Windows console program run under an emulator ends its lines in "\r\n".
  std::string cleaned;
  for (std::size_t i = 0; i < result.output.size(); ++i)
    if (!(result.output[i] == '\r' && i + 1 < result.output.size() && result.output[i + 1] == '\n'))
      cleaned += result.output[i];
  result.output = cleaned;
  return result;
}

std::string zorpixProgram() {
  return fromEnvironment("ZORPIX_RUNNER", "") + " " +
         shellQuote(fromEnvironment("ZORPIX_EXE", ZORPIX_EXE));
}

std::string dezorpixProgram() {
  return fromEnvironment("ZORPIX_RUNNER", "") + " " +
         shellQuote(fromEnvironment("DEZORPIX_EXE", DEZORPIX_EXE));
}

ProgramUnderTest programUnderTest(int which) {
  if (which == 0) return {"zorpix", zorpixProgram(), "scaled", 2, 16383};
  return {"dezorpix", dezorpixProgram(), "restored", 1, 32767};
}

char outputSeparator() { return fromEnvironment("ZORPIX_SEPARATOR", "/")[0]; }

bool testsWindowsPrograms() { return outputSeparator() == '\\'; }

std::string fileLines(const RunResult& run) {
  const std::string marker = " as alpha color\n";
  const std::size_t at = run.output.find(marker);
  return at == std::string::npos ? run.output : run.output.substr(at + marker.size());
}

std::vector<std::string> entries(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

BackgroundRun::BackgroundRun(const std::string& command, const std::filesystem::path& folder,
                             const std::vector<std::string>& args, const std::string& setup) {
  std::string shell = setup.empty() ? std::string() : setup + " && ";
  shell += "cd '" + folder.string() + "' && exec " + command;
  for (const std::string& arg : args) shell += " " + arg;
  int out[2];
  if (pipe(out) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // SIGQUIT would leave a core file in the folder under test.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl("/bin/sh", "sh", "-c", shell.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  output_ = out[0];
}

BackgroundRun::~BackgroundRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    finish();
  }
}

void BackgroundRun::stop() {
  kill(pid_, SIGSTOP);
  int status = 0;
  waitpid(pid_, &status, WUNTRACED);
}

void BackgroundRun::resume() { kill(pid_, SIGCONT); }

void BackgroundRun::sendAndContinue(int signal) {
  kill(pid_, signal);
  resume();
}

long BackgroundRun::readSome(char* buffer, std::size_t size) {
  return long(read(output_, buffer, size));
}

RunResult BackgroundRun::finish() {
  RunResult run;
  char buffer[4096];
  long n;
  while ((n = readSome(buffer, sizeof buffer)) > 0) run.output.append(buffer, std::size_t(n));
  close(output_);
  int status = 0;
  rusage usage{};
  wait4(pid_, &status, 0, &usage);
  pid_ = -1;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  maxResidentKb_ = usage.ru_maxrss;
  return run;
}

}  // namespace zorpix::testing
