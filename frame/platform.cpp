#include "frame/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
// Only a few calls are wanted; without these the header drags in most of the
// API and defines min and max as macros, which breaks std::min.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dirent.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zorpix {
namespace {

constexpr std::size_t kIoChunk = std::size_t{1} << 24;

#ifdef _WIN32
// Names are UTF-8 inside the programs and UTF-16 at the system's interfaces.
// The narrow ones would pass them through the ANSI code page, which turns
// every character outside it into '?' and the name into one that no longer
// opens.
std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int count = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(std::max(count, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), count);
  return wide;
}
std::string narrow(const wchar_t* wide) {
  const int count = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (count <= 1) return {};
  std::string utf8(std::size_t(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), count, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

using Stat = struct _stat64;
int openRead(const char* path) { return _wopen(widen(path).c_str(), _O_RDONLY | _O_BINARY); }
int openWrite(const char* path) {
  return _wopen(widen(path).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                _S_IREAD | _S_IWRITE);
}
int statHandle(int fd, Stat* st) { return _fstat64(fd, st); }
bool isRegular(const Stat& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
long long readSome(int fd, void* p, std::size_t n) {
  return _read(fd, p, unsigned(std::min(n, kIoChunk)));
}
long long writeSome(int fd, const void* p, std::size_t n) {
  return _write(fd, p, unsigned(std::min(n, kIoChunk)));
}
int closeHandle(int fd) { return _close(fd); }
int processId() { return _getpid(); }
bool replaceFile(const char* from, const char* to) {
  return MoveFileExW(widen(from).c_str(), widen(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
int removeFile(const char* path) { return _wremove(widen(path).c_str()); }
// A console takes UTF-16 and shows every character its font has, whatever the
// code page; bytes sent to it would be read in that code page. False when
// standard output is not a console (a file or a pipe).
bool writeToConsole(std::string_view utf8) {
  const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
  DWORD mode;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
  std::fflush(stdout);
  const std::wstring line = widen(utf8) + L"\r\n";
  for (std::size_t done = 0; done < line.size();) {
    DWORD written = 0;
    if (!WriteConsoleW(console, line.data() + done, DWORD(line.size() - done), &written, nullptr) ||
        written == 0)
      break;
    done += written;
  }
  return true;
}
#else
using Stat = struct stat;
// Without O_NONBLOCK, opening a named pipe called x.bmp waits for a writer
// forever and the batch never ends. readWholeFile reads nothing but regular
// files, on which the flag has no effect.
int openRead(const char* path) { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); }
// The temporary name is easy to guess: whatever holds it (a file left by an
// earlier process of the same id, or a planted link that an open with O_TRUNC
// would follow and overwrite) is removed, and the file must then be new.
int openWrite(const char* path) {
  unlink(path);
  return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
int statHandle(int fd, Stat* st) { return fstat(fd, st); }
bool isRegular(const Stat& st) { return S_ISREG(st.st_mode); }
long long readSome(int fd, void* p, std::size_t n) { return read(fd, p, std::min(n, kIoChunk)); }
long long writeSome(int fd, const void* p, std::size_t n) {
  return write(fd, p, std::min(n, kIoChunk));
}
int closeHandle(int fd) { return close(fd); }
int processId() { return int(getpid()); }
bool replaceFile(const char* from, const char* to) {
  // A read-only result stays as it is, as it would where the write replaces
  // the file's contents in place.
  if (access(to, F_OK) == 0 && access(to, W_OK) != 0) return false;
  return std::rename(from, to) == 0;
}
int removeFile(const char* path) { return std::remove(path); }
#endif

std::atomic<unsigned> nextTemporary{0};

bool endsWithBmp(const std::string& name) {
  if (name.size() < 4) return false;
  const char* tail = name.c_str() + name.size() - 4;
  return tail[0] == '.' && (tail[1] | 0x20) == 'b' && (tail[2] | 0x20) == 'm' &&
         (tail[3] | 0x20) == 'p';
}

}  // namespace

std::vector<std::string> listBitmaps() {
  std::vector<std::string> names;
#ifdef _WIN32
  _wfinddata64i32_t found;
  intptr_t handle = _wfindfirst64i32(L"*.bmp", &found);
  if (handle == -1) return names;
  do {
    // The pattern also matches through the 8.3 short names, so "a.bmpx"
    // (short name A~1.BMP) would come too; only a real ".bmp" ending counts.
    std::string name = narrow(found.name);
    if (endsWithBmp(name)) names.push_back(std::move(name));
  } while (_wfindnext64i32(handle, &found) == 0);
  _findclose(handle);
#else
  DIR* folder = opendir(".");
  if (folder == nullptr) return names;
  while (const dirent* entry = readdir(folder)) {
    std::string name = entry->d_name;
    if (endsWithBmp(name)) names.push_back(std::move(name));
  }
  closedir(folder);
  std::sort(names.begin(), names.end());
#endif
  return names;
}

void reportOversizeWrites() {
#ifdef SIGXFSZ
  signal(SIGXFSZ, SIG_IGN);
#endif
}

void makeFolder(const std::string& name) {
#ifdef _WIN32
  _wmkdir(widen(name).c_str());
#else
  mkdir(name.c_str(), 0777);
#endif
}

bool readWholeFile(const std::string& name, LoadedFile& file) {
  int fd = openRead(name.c_str());
  if (fd < 0) return false;
  Stat st;
  if (statHandle(fd, &st) != 0 || !isRegular(st) || st.st_size < 0) {
    closeHandle(fd);
    return false;
  }
  // The size is taken once; a file that shrinks meanwhile yields what is left,
  // one that grows yields its first st_size bytes.
  auto expected = static_cast<std::uint64_t>(st.st_size);
  if (expected > SIZE_MAX) {
    closeHandle(fd);
    throw std::bad_alloc();
  }
  try {
    file.bytes = LargeBuffer(std::size_t(expected));
  } catch (...) {
    closeHandle(fd);
    throw;
  }
  std::size_t got = 0;
  auto* dest = reinterpret_cast<std::uint8_t*>(file.bytes.data());
  bool ok = true;
  while (got < expected) {
    long long n = readSome(fd, dest + got, std::size_t(expected) - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += std::size_t(n);
  }
  closeHandle(fd);
  file.size = got;
  return ok;
}

ReplacingFile::ReplacingFile(const std::string& folder, const std::string& name)
    : finalPath_(folder + kPathSeparator + name),
      // Unique among the files this process writes at the same time, and short
      // enough for any file name beside it.
      tempPath_(folder + kPathSeparator + ".zorpix-" + std::to_string(processId()) + "-" +
                std::to_string(nextTemporary++) + ".tmp") {
  handle_ = openWrite(tempPath_.c_str());
  failed_ = handle_ < 0;
}

ReplacingFile::~ReplacingFile() {
  if (handle_ >= 0 || failed_) discard();
}

bool ReplacingFile::write(const std::uint8_t* data, std::size_t count) {
  while (!failed_ && count > 0) {
    long long n = writeSome(int(handle_), data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    data += n;
    count -= std::size_t(n);
  }
  return !failed_;
}

bool ReplacingFile::commit() {
  if (failed_) {
    discard();
    return false;
  }
  int fd = int(handle_);
  handle_ = -1;
  // A full disk can show itself only when the file is closed.
  if (closeHandle(fd) != 0 || !replaceFile(tempPath_.c_str(), finalPath_.c_str())) {
    failed_ = true;
    discard();
    return false;
  }
  return true;
}

void ReplacingFile::discard() {
  if (handle_ >= 0) closeHandle(int(handle_));
  handle_ = -1;
  removeFile(tempPath_.c_str());
  failed_ = false;
}

void writeConsoleLine(std::string_view utf8) {
#ifdef _WIN32
  if (writeToConsole(utf8)) return;
#endif
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace zorpix
