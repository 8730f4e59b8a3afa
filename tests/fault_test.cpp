// The real programs under faults of the machine around them: a full disk, an
// output folder in the way, memory that can't be had, a read-only folder,
// matches that aren't files, and files that change after the folder was
// listed. Whatever fails is reported in one line, the rest of the batch goes
// on, and nothing already stored is lost or left half-written.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

namespace zorpix::testing {
namespace {

namespace fs = std::filesystem;

using Program = ProgramUnderTest;

class Faults : public ::testing::TestWithParam<int> {
 protected:
  Program program() const { return programUnderTest(GetParam()); }
  std::string pathLine(const std::string& name) const {
    return program().folder + outputSeparator() + name + "\n";
  }
  std::string couldNotWrite(const std::string& name) const {
    return "Could not write " + program().folder + outputSeparator() + name + "\n";
  }
  TempFolder folder_;
};

INSTANTIATE_TEST_SUITE_P(, Faults, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "zorpix" : "dezorpix"; });

// A file system mounted for one test, unmounted when it ends.
class Mount {
 public:
  Mount(const fs::path& source, const fs::path& target, const char* type, unsigned long flags,
        const char* options)
      : target_(target) {
    mounted_ = ::mount(source.c_str(), target.c_str(), type, flags, options) == 0;
  }
  ~Mount() {
    if (mounted_) ::umount2(target_.c_str(), MNT_DETACH);
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path target_;
  bool mounted_ = false;
};

const std::vector<std::string> kKeyArgs = {"0", "255", "255"};

TEST_P(Faults, DiskFullWhileWritingKeepsTheEarlierResult) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const Program p = program();
  // Over 1 MiB of result, whose room is asked for ahead of the writes.
  writeFile(folder_ / "big.bmp", encodeBmp(patternImage(640, 600)));
  writeFile(folder_ / "small.bmp", encodeBmp(filledImage(2, 2, Rgb{1, 2, 3})));
  fs::create_directory(folder_ / p.folder);
  // Eight pages: room for the earlier result and the small one, not the big
  // one. The two are done side by side, so the small one may find the disk
  // full of the big one's partial result; it is tried again once that is gone.
  Mount disk("tmpfs", folder_ / p.folder, "tmpfs", 0, "size=32k");
  if (!disk.mounted()) GTEST_SKIP() << "this machine does not let the test mount a tmpfs";
  const std::vector<std::uint8_t> earlier(300, 42);
  writeFile(folder_ / p.folder / "big.bmp", earlier);

  const RunResult run = runProgram(p.command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(run), pathLine("big.bmp") + couldNotWrite("big.bmp") + pathLine("small.bmp"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder / "big.bmp"), earlier);
  EXPECT_EQ(decodeBmp(readFile(folder_ / p.folder / "small.bmp")).pixels,
            filledImage(2 * p.scale, 2 * p.scale, Rgb{1, 2, 3}).pixels);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"big.bmp", "small.bmp"}))
      << "no temporary file left behind";
}

// The temporary file's name is easy to guess. A link planted there must not
// lead the write to another file: the victim stays as it was, the result is
// stored. The shell's process id is the program's, since runProgram execs it.
TEST_P(Faults, ALinkAtTheTemporaryNameIsNotFollowed) {
  if (testsWindowsPrograms()) GTEST_SKIP() << "the temporary file's name holds a Windows process id";
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(4, 4)));
  fs::create_directory(folder_ / p.folder);
  const std::vector<std::uint8_t> victim(300, 42);
  writeFile(folder_ / "victim", victim);
  const std::string setup = "ln -s '" + (folder_ / "victim").string() + "' '" +
                            (folder_ / p.folder).string() + "/.zorpix-'$$-0.tmp";

  const RunResult run = runProgram(p.command, folder_.path(), kKeyArgs, setup);
  EXPECT_EQ(fileLines(run), pathLine("a.bmp"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(folder_ / "victim"), victim);
  EXPECT_FALSE(fs::is_symlink(folder_ / p.folder / "a.bmp"));
  EXPECT_EQ(decodeBmp(readFile(folder_ / p.folder / "a.bmp")).width, 4 * p.scale);
  EXPECT_EQ(entries(folder_ / p.folder), std::vector<std::string>{"a.bmp"});
}

TEST_P(Faults, OutputBlockedKeepsWhatBlocksIt) {
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(3, 3)));
  writeFile(folder_ / "b.bmp", encodeBmp(patternImage(4, 2)));

  // A file where the output folder should be: neither result can be stored.
  writeFile(folder_ / p.folder, {'x'});
  RunResult run = runProgram(p.command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(run), pathLine("a.bmp") + couldNotWrite("a.bmp") + pathLine("b.bmp") +
                                couldNotWrite("b.bmp"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder), std::vector<std::uint8_t>{'x'});
  EXPECT_EQ(entries(folder_.path()), (std::vector<std::string>{"a.bmp", "b.bmp", p.folder}));

  // A folder where one result should be: that one fails, the other is stored.
  fs::remove(folder_ / p.folder);
  fs::create_directories(folder_ / p.folder / "a.bmp");
  writeFile(folder_ / p.folder / "a.bmp" / "inside", {'y'});
  run = runProgram(p.command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(run), pathLine("a.bmp") + couldNotWrite("a.bmp") + pathLine("b.bmp"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder / "a.bmp" / "inside"), std::vector<std::uint8_t>{'y'});
  EXPECT_EQ(decodeBmp(readFile(folder_ / p.folder / "b.bmp")).width, 4 * p.scale);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"a.bmp", "b.bmp"}))
      << "no temporary file left behind";
}

TEST_P(Faults, MemoryThatCantBeHadSkipsTheFileAndKeepsTheEarlierResult) {
  if (kUnderAddressSanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
  if (testsWindowsPrograms()) GTEST_SKIP() << "ulimit -v does not reach a program under wine";
  const Program p = program();
  // 27 to 29 MB of pixels. The file fits under the limit; the grids beside
  // it do not. Both programs take an image in bands of rows, whose grids grow
  // with the width, so the image is as wide as each program takes: zorpix's
  // bands of 80 grid rows of 32000 cells come to about 10 MB each, one per
  // worker and one more, and dezorpix's need more. The program itself needs
  // about 6 MB.
  const bool doubled = p.scale == 2;
  writeFile(folder_ / "big.bmp",
            encodeBmp(filledImage(doubled ? 16000 : 32000, doubled ? 560 : 300, Rgb{9, 8, 7})));
  writeFile(folder_ / "small.bmp", encodeBmp(filledImage(2, 2, Rgb{1, 2, 3})));
  fs::create_directory(folder_ / p.folder);
  const std::vector<std::uint8_t> earlier(300, 42);
  writeFile(folder_ / p.folder / "big.bmp", earlier);
  const std::string limit = "ulimit -v 47104";

  const RunResult run = runProgram(p.command, folder_.path(), kKeyArgs, limit);
  EXPECT_EQ(fileLines(run), "Not enough memory for file with name big.bmp\n" + pathLine("small.bmp"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFile(folder_ / p.folder / "big.bmp"), earlier);
  EXPECT_EQ(decodeBmp(readFile(folder_ / p.folder / "small.bmp")).width, 2 * p.scale);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"big.bmp", "small.bmp"}));
}

TEST_P(Faults, ReadOnlyWorkingFolderReportsEveryFileAndChangesNothing) {
  const Program p = program();
  for (const bool earlierRun : {false, true}) {
    SCOPED_TRACE(earlierRun ? "output folder from an earlier run" : "no output folder yet");
    TempFolder work;
    writeFile(work / "a.bmp", encodeBmp(patternImage(3, 3)));
    writeFile(work / "b.bmp", encodeBmp(patternImage(4, 2)));
    const std::vector<std::uint8_t> earlier(300, 42);
    if (earlierRun) {
      fs::create_directory(work / p.folder);
      writeFile(work / p.folder / "a.bmp", earlier);
    }
    // Permissions don't bind root, a read-only mount does.
    TempFolder view;
    fs::path runIn = work.path();
    std::unique_ptr<Mount> bind, readOnly;
    if (geteuid() == 0) {
      bind = std::make_unique<Mount>(work.path(), view.path(), nullptr, MS_BIND, nullptr);
      if (!bind->mounted()) GTEST_SKIP() << "this machine does not let the test bind-mount";
      readOnly = std::make_unique<Mount>(fs::path(), view.path(), nullptr,
                                         MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
      ASSERT_TRUE(readOnly->mounted());
      runIn = view.path();
    } else {
      if (earlierRun) fs::permissions(work / p.folder, fs::perms(0555));
      fs::permissions(work.path(), fs::perms(0555));
    }

    const RunResult run = runProgram(p.command, runIn, kKeyArgs);
    EXPECT_EQ(fileLines(run), pathLine("a.bmp") + couldNotWrite("a.bmp") + pathLine("b.bmp") +
                                  couldNotWrite("b.bmp"));
    EXPECT_EQ(run.status, 1);
    readOnly.reset();
    bind.reset();
    fs::permissions(work.path(), fs::perms::owner_all, fs::perm_options::add);
    if (earlierRun) {
      EXPECT_EQ(readFile(work / p.folder / "a.bmp"), earlier);
      EXPECT_EQ(entries(work / p.folder), std::vector<std::string>{"a.bmp"});
    }
    EXPECT_EQ(entries(work.path()).size(), earlierRun ? 3u : 2u);
  }
}

TEST_P(Faults, MatchesThatAreNotFilesAreReportedWithoutWaiting) {
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(3, 3)));
  writeFile(folder_ / "z.bmp", encodeBmp(patternImage(3, 3)));
  // A named pipe nobody writes to: opening it to read would wait forever.
  ASSERT_EQ(mkfifo((folder_ / "fifo.bmp").c_str(), 0644), 0);
  fs::create_directory_symlink("/", folder_ / "link-to-folder.bmp");
  fs::create_symlink("/dev/null", folder_ / "link-to-device.bmp");
  fs::create_symlink(folder_ / "nowhere", folder_ / "link-dangling.bmp");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (folder_ / "socket.bmp").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  // A program stuck on the pipe is ended, and the test fails, not hangs.
  const RunResult run = runProgram("timeout 60 " + p.command, folder_.path(), kKeyArgs);
  close(listener);
  auto cannotRead = [](const std::string& name) {
    return "Cannot read file with name " + name + "\n";
  };
  EXPECT_EQ(fileLines(run), pathLine("a.bmp") + cannotRead("fifo.bmp") +
                                cannotRead("link-dangling.bmp") + cannotRead("link-to-device.bmp") +
                                cannotRead("link-to-folder.bmp") + cannotRead("socket.bmp") +
                                pathLine("z.bmp"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"a.bmp", "z.bmp"}));
}

// Runs the program and stops it the moment it prints triggerLine, which
// comes after the folder was listed; the first file is large enough to be
// done alone, so the program is then still writing its result and has read
// no later file. change() runs while it is stopped.
template <typename Change>
RunResult runStoppedAt(const std::string& command, const fs::path& folder,
                       const std::vector<std::string>& args, const std::string& triggerLine,
                       Change change, bool& changed) {
  BackgroundRun child(command, folder, args);
  std::string output;
  std::string pendingLine;
  char buffer[4096];
  long n;
  while ((n = child.readSome(buffer, sizeof buffer)) > 0) {
    for (long i = 0; i < n; ++i) {
      output += buffer[i];
      if (buffer[i] != '\n') {
        pendingLine += buffer[i];
        continue;
      }
      if (!changed && pendingLine == triggerLine) {
        child.stop();
        change();
        changed = true;
        child.resume();
      }
      pendingLine.clear();
    }
  }
  RunResult run = child.finish();
  run.output = output + run.output;
  return run;
}

TEST_P(Faults, FilesThatChangeAfterTheFolderWasListed) {
  if (testsWindowsPrograms()) GTEST_SKIP() << "named pipes are a POSIX rig";
  const Program p = program();
  const Image image = patternImage(5, 3);
  // Over a million pixels: done alone, with a result of many megabytes, and
  // long enough after its path line for the changes to come first.
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(4000, 2500)));
  for (const char* name : {"b.bmp", "c.bmp", "d.bmp", "e.bmp", "f.bmp"})
    writeFile(folder_ / name, encodeBmp(image));
  std::vector<std::uint8_t> longer = encodeBmp(image);
  longer.resize(longer.size() + 1000, 0x11);

  bool changed = false;
  const std::string trigger = p.folder + outputSeparator() + "a.bmp";
  const RunResult run = runStoppedAt(p.command, folder_.path(), kKeyArgs, trigger, [&] {
    fs::remove(folder_ / "b.bmp");
    fs::resize_file(folder_ / "c.bmp", 60);
    writeFile(folder_ / "d.bmp", longer);
    fs::remove(folder_ / "e.bmp");
    fs::create_directory(folder_ / "e.bmp");
    fs::resize_file(folder_ / "f.bmp", 0);
  }, changed);
  ASSERT_TRUE(changed) << "the program never printed " << trigger;
  EXPECT_EQ(fileLines(run), pathLine("a.bmp") + "Cannot read file with name b.bmp\n" +
                                "Truncated BitMap file with name c.bmp\n" + pathLine("d.bmp") +
                                "Cannot read file with name e.bmp\n" +
                                "Not a 24 bit BitMap file with name f.bmp\n");
  EXPECT_EQ(run.status, 0);
  const Image d = decodeBmp(readFile(folder_ / p.folder / "d.bmp"));
  EXPECT_EQ(d.width, 5 * p.scale);
  EXPECT_EQ(d.height, 3 * p.scale);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"a.bmp", "d.bmp"}));
}

// A large file's rows are read as the bands need them. Cut short after its
// first bands were done, it is reported as truncated, after its path line,
// and leaves no result behind; an earlier result stays, and the next file
// is done.
TEST_P(Faults, ALargeFileCutShortWhileItIsDoneIsReportedAsTruncated) {
  if (testsWindowsPrograms()) GTEST_SKIP() << "the run is stopped with POSIX signals";
  const Program p = program();
  const auto large = encodeBmp(patternImage(4000, 2500));
  writeFile(folder_ / "a.bmp", large);
  writeFile(folder_ / "b.bmp", encodeBmp(patternImage(5, 3)));
  fs::create_directory(folder_ / p.folder);
  const std::vector<std::uint8_t> earlier(300, 42);
  writeFile(folder_ / p.folder / "a.bmp", earlier);

  bool changed = false;
  const std::string trigger = p.folder + outputSeparator() + "a.bmp";
  const RunResult run = runStoppedAt(
      p.command, folder_.path(), kKeyArgs, trigger,
      [&] { fs::resize_file(folder_ / "a.bmp", large.size() / 2); }, changed);
  ASSERT_TRUE(changed) << "the program never printed " << trigger;
  EXPECT_EQ(fileLines(run),
            pathLine("a.bmp") + "Truncated BitMap file with name a.bmp\n" + pathLine("b.bmp"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(folder_ / p.folder / "a.bmp"), earlier);
  EXPECT_EQ(entries(folder_ / p.folder), (std::vector<std::string>{"a.bmp", "b.bmp"}));
}

}  // namespace
}  // namespace zorpix::testing
