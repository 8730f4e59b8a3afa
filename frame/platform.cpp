#include "frame/platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "frame/bmp.h"

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
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zorpix {
namespace {

constexpr std::size_t kIoChunk = std::size_t{1} << 24;

// The temporary files of both programs: ".zorpix-", then the process id and
// a number, then ".tmp".
bool isTemporaryName(std::string_view name) {
  return name.size() > 12 && name.substr(0, 8) == ".zorpix-" &&
         name.substr(name.size() - 4) == ".tmp";
}

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
// At an offset of its own, so that several threads may read one file.
long long readSomeAt(int fd, void* p, std::size_t n, std::uint64_t offset) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  OVERLAPPED at{};
  at.Offset = DWORD(offset);
  at.OffsetHigh = DWORD(offset >> 32);
  DWORD got = 0;
  if (!ReadFile(handle, p, DWORD(std::min(n, kIoChunk)), &got, &at))
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return got;
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
// forever and the batch never ends. loadFile reads nothing but regular
// files, on which the flag has no effect.
int openRead(const char* path) { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK); }
int statHandle(int fd, Stat* st) { return fstat(fd, st); }
bool isRegular(const Stat& st) { return S_ISREG(st.st_mode); }
long long readSome(int fd, void* p, std::size_t n) { return read(fd, p, std::min(n, kIoChunk)); }
long long readSomeAt(int fd, void* p, std::size_t n, std::uint64_t offset) {
  return pread(fd, p, std::min(n, kIoChunk), off_t(offset));
}
long long writeSome(int fd, const void* p, std::size_t n) {
  return write(fd, p, std::min(n, kIoChunk));
}
int closeHandle(int fd) { return close(fd); }
int processId() { return int(getpid()); }
bool replaceFile(int folder, const char* from, const char* to) {
  // A read-only result stays as it is, as it would where the write replaces
  // the file's contents in place.
  if (faccessat(folder, to, F_OK, 0) == 0 && faccessat(folder, to, W_OK, 0) != 0) return false;
  return renameat(folder, from, folder, to) == 0;
}

// Whether name in folder is still the file open as fd.
bool isEntry(int folder, const char* name, int fd) {
  Stat entry, opened;
  return fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &opened) == 0 &&
         entry.st_dev == opened.st_dev && entry.st_ino == opened.st_ino;
}

// The target of the symbolic link at path, when the link may be followed:
// it belongs to the user running the program or to the owner of the folder
// holding it, the rule Linux's protected_symlinks applies in shared folders.
// Otherwise another user who may write to the working folder could point
// the output folder into a private one and have a file there replaced.
// Empty when it may not be followed.
std::string trustedLinkTarget(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  Stat link, holder;
  std::string target(PATH_MAX, '\0');
  ssize_t length = -1;
#ifdef O_PATH
  // The owner checked and the target read are those of one and the same
  // link, even if the name is swapped for another one meanwhile.
  const int handle = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (handle < 0) return {};
  if (fstat(handle, &link) == 0 && S_ISLNK(link.st_mode) && stat(parent.c_str(), &holder) == 0 &&
      (link.st_uid == geteuid() || link.st_uid == holder.st_uid))
    length = readlinkat(handle, "", target.data(), target.size());
  close(handle);
#else
  if (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
      stat(parent.c_str(), &holder) == 0 &&
      (link.st_uid == geteuid() || link.st_uid == holder.st_uid))
    length = readlink(path.c_str(), target.data(), target.size());
#endif
  if (length <= 0 || std::size_t(length) >= target.size()) return {};
  target.resize(std::size_t(length));
  if (target[0] != '/' && slash != std::string::npos) target.insert(0, parent);
  return target;
}

// The output folder, opened once so that the check of what it is and every
// write into it concern the same folder. -1 when it can't be, or may not be,
// opened.
int openFolder(const std::string& path) {
  const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder >= 0 || (errno != ELOOP && errno != ENOTDIR)) return folder;
  const std::string target = trustedLinkTarget(path);
  if (target.empty()) return -1;
  return open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// A temporary file is locked from its creation until it is renamed or
// removed. One nobody holds a lock on was left by a run that was killed (or
// by a power cut) and may go; a write still under way keeps its file.
bool removeUnlocked(int folder, const char* name) {
  Stat entry;
  // Only regular files are opened: opening a device can have effects.
  if (fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(entry.st_mode))
    return false;
  const int fd = openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  // Checked under the lock: the name might have been given to a new file
  // since it was opened, and that file is not for us to remove.
  const bool removed = flock(fd, LOCK_EX | LOCK_NB) == 0 && isEntry(folder, name, fd) &&
                       unlinkat(folder, name, 0) == 0;
  close(fd);
  return removed;
}

// Creates the temporary file name in folder, new and locked. The name is
// easy to guess and may be taken: by a file a killed run of the same
// process id left (removed under the same rule as any stale one), or by
// something planted there, such as a link that an open would follow
// (removed; a live temporary file is always a regular one).
int createTemporary(int folder, const char* name) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno != EEXIST) return -1;
      Stat entry;
      if (fstatat(folder, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(entry.st_mode))
        unlinkat(folder, name, 0);
      else
        removeUnlocked(folder, name);
      continue;
    }
    // Another run's clean-up may have opened the new file before the lock
    // was taken: waiting for the lock waits it out, and if it removed the
    // file, the write starts over with a new one.
    if (flock(fd, LOCK_EX) == 0 && isEntry(folder, name, fd)) return fd;
    close(fd);
  }
  return -1;
}

// Removes the temporary files that killed runs of either program left in
// folder. This process's own are left alone: where the file system counts
// locks per process (NFS), its live files would look unlocked to it.
void removeStaleTemporaries(int folder) {
  const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* entries = fdopendir(listing);
  if (entries == nullptr) {
    close(listing);
    return;
  }
  const std::string own = ".zorpix-" + std::to_string(processId()) + "-";
  while (const dirent* entry = readdir(entries)) {
    const std::string_view name = entry->d_name;
    if (isTemporaryName(name) && name.substr(0, own.size()) != own)
      removeUnlocked(folder, entry->d_name);
  }
  closedir(entries);
}
#endif

#ifdef _WIN32
// A temporary file whose process still runs is being written or about to be
// put in place (Windows keeps one open for writing from being removed, but
// its writer closes it before the rename); only those of processes gone are
// stale. A process id reused meanwhile merely leaves a file for later.
bool processRuns(unsigned long id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool runs = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return runs;
}

void removeStaleTemporaries(const std::string& folder) {
  _finddata64i32_t found;
  const intptr_t handle = _findfirst64i32((folder + "\\.zorpix-*.tmp").c_str(), &found);
  if (handle == -1) return;
  do {
    if (isTemporaryName(found.name) && !processRuns(std::strtoul(found.name + 8, nullptr, 10)))
      std::remove((folder + '\\' + found.name).c_str());
  } while (_findnext64i32(handle, &found) == 0);
  _findclose(handle);
}
#endif

// Where an interruption finds the temporary files being written. Its handler
// may run at any moment on any thread, so it reads nothing but this fixed
// table of lock-free atomics and of names written before the first use.
// Each slot has a name of its own, the same every time the slot is reused,
// so the handler can never read a name half rewritten.
struct TemporarySlot {
  std::atomic<bool> taken{false};
  std::atomic<bool> armed{false};  // the file may exist
  std::atomic<int> folder{-1};     // where it is, as an open folder
  std::atomic<int> file{-1};       // its handle, for Windows to close before removing it
  char name[48] = {};
#ifdef _WIN32
  char path[MAX_PATH] = {};
#endif
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// More than the files one run ever writes at once; a write beyond them goes
// on without removal on interruption, for a later run to clean up.
constexpr int kTemporarySlots = 64;
TemporarySlot temporarySlots[kTemporarySlots];
std::atomic<unsigned> nextUnslotted{kTemporarySlots};

int takeSlot() {
  static const bool named = [] {
    for (int i = 0; i < kTemporarySlots; ++i)
      std::snprintf(temporarySlots[i].name, sizeof temporarySlots[i].name, ".zorpix-%d-%d.tmp",
                    processId(), i);
    return true;
  }();
  (void)named;
  for (int i = 0; i < kTemporarySlots; ++i)
    if (!temporarySlots[i].taken.exchange(true)) return i;
  return -1;
}

#ifdef _WIN32
// Windows ends a console program on Ctrl+C, Ctrl+Break or a closed console
// window, from a thread of its own, once this returns FALSE. An open file
// can't be removed there, so the handle is taken from its writer first.
BOOL WINAPI removeTemporariesOnConsoleEvent(DWORD) {
  for (TemporarySlot& slot : temporarySlots) {
    if (!slot.armed.load()) continue;
    const int fd = slot.file.exchange(-1);
    if (fd >= 0) _close(fd);
    std::remove(slot.path);
  }
  return FALSE;
}
#else
constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

void removeTemporariesAndEnd(int interruption) {
  for (TemporarySlot& slot : temporarySlots)
    if (slot.armed.load()) unlinkat(slot.folder.load(), slot.name, 0);
  // Then the signal ends the process as it would have without this handler,
  // so that the shell or the parent sees what ended it: it is blocked while
  // the handler runs and is delivered, with its default action, on return.
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(interruption, &byDefault, nullptr);
  raise(interruption);
}
#endif

bool endsWithBmp(const std::string& name) {
  if (name.size() < 4) return false;
  const char* tail = name.c_str() + name.size() - 4;
  return tail[0] == '.' && (tail[1] | 0x20) == 'b' && (tail[2] | 0x20) == 'm' &&
         (tail[3] | 0x20) == 'p';
}

// Every size the grid can count fits 16 bits: no tool takes a longer side,
// so no file needs pixel rows read for one.
constexpr std::int32_t kLongestSide = std::numeric_limits<std::int16_t>::max();

// Reads up to count bytes into dest with readSome(to, bytes, done), which
// reads part of what is left after the done bytes; fewer only at the file's
// end. ok turns false on an error.
template <typename ReadSome>
std::size_t readUpTo(std::uint8_t* dest, std::size_t count, bool& ok, const ReadSome& readSome) {
  std::size_t got = 0;
  while (got < count) {
    long long n = readSome(dest + got, count - got, got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    got += std::size_t(n);
  }
  return got;
}

// readUpTo from where the file stands.
std::size_t readFully(int fd, std::uint8_t* dest, std::size_t count, bool& ok) {
  return readUpTo(dest, count, ok, [fd](std::uint8_t* to, std::size_t bytes, std::size_t) {
    return readSome(fd, to, bytes);
  });
}

// The pixel rows of a large file, read from it as the bands need them.
class OpenFileBytes final : public FileBytes {
 public:
  explicit OpenFileBytes(int fd) : fd_(fd) {}
  ~OpenFileBytes() override { closeHandle(fd_); }
  OpenFileBytes(const OpenFileBytes&) = delete;
  OpenFileBytes& operator=(const OpenFileBytes&) = delete;

  const std::uint8_t* read(std::uint64_t offset, std::size_t count,
                           std::uint8_t* buffer) const override {
    bool ok = true;
    const std::size_t got = readUpTo(
        buffer, count, ok, [this, offset](std::uint8_t* to, std::size_t bytes, std::size_t done) {
          return readSomeAt(fd_, to, bytes, offset + done);
        });
    // Short: cut short since it was opened.
    return ok && got == count ? buffer : nullptr;
  }
  bool readsIntoBuffer() const override { return true; }

 private:
  int fd_;
};

}  // namespace

std::optional<std::vector<std::string>> listBitmaps() {
  std::vector<std::string> names;
#ifdef _WIN32
  _wfinddata64i32_t found;
  intptr_t handle = _wfindfirst64i32(L"*.bmp", &found);
  if (handle == -1) {
    if (errno == ENOENT) return names;
    return std::nullopt;
  }
  do {
    // The pattern also matches through the 8.3 short names, so "a.bmpx"
    // (short name A~1.BMP) would come too; only a real ".bmp" ending counts.
    std::string name = narrow(found.name);
    if (endsWithBmp(name)) names.push_back(std::move(name));
  } while (_wfindnext64i32(handle, &found) == 0);
  _findclose(handle);
#else
  DIR* folder = opendir(".");
  if (folder == nullptr) return std::nullopt;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(folder);
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (endsWithBmp(name)) names.push_back(std::move(name));
  }
  const bool complete = errno == 0;
  closedir(folder);
  if (!complete) return std::nullopt;
  std::sort(names.begin(), names.end());
#endif
  return names;
}

void reportOversizeWrites() {
#ifdef SIGXFSZ
  signal(SIGXFSZ, SIG_IGN);
#endif
}

void removeTemporariesOnInterrupt() {
#ifdef _WIN32
  SetConsoleCtrlHandler(removeTemporariesOnConsoleEvent, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = removeTemporariesAndEnd;
  sigemptyset(&action.sa_mask);
  for (int interruption : kInterruptions) sigaddset(&action.sa_mask, interruption);
  for (int interruption : kInterruptions) {
    struct sigaction previous {};
    // One ignored from the start (nohup, a background job) stays ignored.
    if (sigaction(interruption, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
      sigaction(interruption, &action, nullptr);
  }
#endif
}

std::string printableName(std::string_view name) {
  std::string shown(name);
  for (char& ch : shown)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '?';
  return shown;
}

void makeFolder(const std::string& name) {
#ifdef _WIN32
  _wmkdir(widen(name).c_str());
#else
  mkdir(name.c_str(), 0777);
#endif
}

bool loadFile(const std::string& name, std::uint64_t readWholeUpTo, LoadedFile& file) {
  int fd = openRead(name.c_str());
  if (fd < 0) return false;
  Stat st;
  if (statHandle(fd, &st) != 0 || !isRegular(st) || st.st_size < 0) {
    closeHandle(fd);
    return false;
  }
  // The size is taken once; a file that shrinks meanwhile yields what is left,
  // one that grows yields no more than its first st_size bytes.
  const auto size = static_cast<std::uint64_t>(st.st_size);
  bool ok = true;
  std::uint8_t head[kBmpHeaderBytes];
  const std::size_t headBytes =
      readFully(fd, head, std::size_t(std::min<std::uint64_t>(size, sizeof head)), ok);
  const ByteView headView(head, headBytes);
  const std::uint64_t wanted =
      std::max<std::uint64_t>(headBytes, bmpBytesToRead(headView, size, kLongestSide));
  // Of a large file only the headers, the rows later.
  const bool rowsLater = ok && headBytes == sizeof head && wanted > readWholeUpTo;
  const std::uint64_t toHold = rowsLater ? bmpHeadersBytes(headView, size) : wanted;
  if (toHold > SIZE_MAX) {
    closeHandle(fd);
    throw std::bad_alloc();
  }
  try {
    file.bytes = LargeBuffer(std::size_t(toHold));
  } catch (...) {
    closeHandle(fd);
    throw;
  }
  auto* dest = reinterpret_cast<std::uint8_t*>(file.bytes.data());
  std::copy(head, head + headBytes, dest);
  std::size_t got = headBytes;
  if (ok && headBytes == sizeof head)
    got += readFully(fd, dest + got, std::size_t(toHold) - got, ok);
  file.size = got;
  file.fileSize = got;
  if (ok && rowsLater && got == toHold) {
    file.fileSize = wanted;
    try {
      file.rest = std::make_unique<OpenFileBytes>(fd);
    } catch (...) {
      closeHandle(fd);
      throw;
    }
    return true;
  }
  closeHandle(fd);
  return ok;
}

ReplacingFile::ReplacingFile(const std::string& folder, const std::string& name)
    : finalPath_(folder + kPathSeparator + name), finalName_(name), slot_(takeSlot()) {
  // Unique among the files this process writes at the same time, and short
  // enough for any file name beside it.
  tempName_ = slot_ >= 0 ? std::string(temporarySlots[slot_].name)
                         : ".zorpix-" + std::to_string(processId()) + "-" +
                               std::to_string(nextUnslotted++) + ".tmp";
  tempPath_ = folder + kPathSeparator + tempName_;
  static std::atomic<bool> staleRemoved{false};
#ifdef _WIN32
  if (!staleRemoved.exchange(true)) removeStaleTemporaries(folder);
  if (slot_ >= 0 && tempPath_.size() < sizeof temporarySlots[slot_].path) {
    std::copy(tempPath_.begin(), tempPath_.end(), temporarySlots[slot_].path);
    temporarySlots[slot_].path[tempPath_.size()] = '\0';
    temporarySlots[slot_].armed.store(true);
  }
  handle_ = openWrite(tempPath_.c_str());
#else
  folder_ = openFolder(folder);
  if (folder_ >= 0) {
    if (!staleRemoved.exchange(true)) removeStaleTemporaries(int(folder_));
    // Armed before the file exists, so that no moment is left uncovered.
    if (slot_ >= 0) {
      temporarySlots[slot_].folder.store(int(folder_));
      temporarySlots[slot_].armed.store(true);
    }
    handle_ = createTemporary(int(folder_), tempName_.c_str());
  }
#endif
  if (slot_ >= 0) temporarySlots[slot_].file.store(int(handle_));
  failed_ = handle_ < 0;
  if (failed_ && slot_ >= 0) temporarySlots[slot_].armed.store(false);
}

ReplacingFile::~ReplacingFile() {
  discard();
#ifndef _WIN32
  if (folder_ >= 0) close(int(folder_));
#endif
  if (slot_ >= 0) temporarySlots[slot_].taken.store(false);
}

void ReplacingFile::reserve([[maybe_unused]] std::uint64_t bytes) {
#ifdef __linux__
  // Otherwise ext4 finds room block by block as the writes come in; taken
  // whole ahead of them, writing a large result took half the time. Small
  // files gain nothing worth the call. The room lies past the end of the
  // file until the writes fill it, so a file that ends early is no longer
  // than what was written.
  constexpr std::uint64_t kWorthReserving = std::uint64_t{1} << 20;
  if (failed_ || handle_ < 0 || bytes < kWorthReserving) return;
  fallocate(int(handle_), FALLOC_FL_KEEP_SIZE, 0, off_t(bytes));
#endif
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
    written_ += std::uint64_t(n);
  }
  if (!failed_) passOnWritten();
  return !failed_;
}

void ReplacingFile::passOnWritten() {
#ifdef __linux__
  // A result of gigabytes would otherwise sit whole in the page cache, in
  // memory the system must first find (on a virtual machine, often from the
  // host, at several microseconds a page), until the system gets round to
  // writing it. Each stretch of it is handed to the disk as soon as it is
  // complete, and one stretch later whatever of it the disk has taken is
  // dropped from the cache, so that the same memory serves the stretches to
  // come. Nothing here waits for the disk, and nothing can fail the file.
  constexpr std::uint64_t kStretch = std::uint64_t{32} << 20;
  while (written_ - handedOn_ >= kStretch) {
    sync_file_range(int(handle_), off_t(handedOn_), off_t(kStretch), SYNC_FILE_RANGE_WRITE);
    if (handedOn_ >= kStretch) {
      const auto earlier = off_t(handedOn_ - kStretch);
      posix_fadvise(int(handle_), earlier, off_t(kStretch), POSIX_FADV_DONTNEED);
    }
    handedOn_ += kStretch;
  }
#endif
}

bool ReplacingFile::commit() {
  if (failed_ || handle_ < 0) {
    discard();
    return false;
  }
#ifdef _WIN32
  // A full disk can show itself only when the file is closed.
  const bool replaced = closeFile() && replaceFile(tempPath_.c_str(), finalPath_.c_str());
#else
  // The lock lasts as long as any descriptor of the open file: kept on till
  // the file has its final name, so that no other run's clean-up takes the
  // closed file for a stale one.
  const int lock = dup(int(handle_));
  const bool replaced =
      closeFile() && replaceFile(int(folder_), tempName_.c_str(), finalName_.c_str());
  if (lock >= 0) close(lock);
#endif
  if (!replaced) removeTemporary();
  if (slot_ >= 0) temporarySlots[slot_].armed.store(false);
  return replaced;
}

bool ReplacingFile::closeFile() {
  // On Windows an interruption may have taken the handle and closed it.
  const int fd = slot_ >= 0 ? temporarySlots[slot_].file.exchange(-1) : int(handle_);
  handle_ = -1;
  return fd >= 0 && closeHandle(fd) == 0;
}

void ReplacingFile::removeTemporary() {
#ifdef _WIN32
  removeFile(tempPath_.c_str());
#else
  unlinkat(int(folder_), tempName_.c_str(), 0);
#endif
}

void ReplacingFile::discard() {
  if (handle_ < 0) return;
  closeFile();
  removeTemporary();
  if (slot_ >= 0) temporarySlots[slot_].armed.store(false);
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
