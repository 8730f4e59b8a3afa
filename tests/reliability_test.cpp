// The real programs when the run itself goes wrong or the folder is hostile:
// interrupted or killed in the middle of a write, run several at once in one
// folder, short of memory at any point, given an output folder that another
// user linked elsewhere, a file with a huge tail, names with control
// characters, a folder they may not list. Nothing is lost or left behind and
// every file gets its one line.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace zorpix::testing {
namespace {

namespace fs = std::filesystem;

using Program = ProgramUnderTest;

const std::vector<std::string> kKeyArgs = {"0", "255", "255"};
constexpr uid_t kNobody = 65534;

bool isTemporary(const std::string& name) {
  return name.rfind(".zorpix-", 0) == 0 && name.size() > 4 &&
         name.compare(name.size() - 4, 4, ".tmp") == 0;
}

// Reports writes to temporary files in a folder.
class TemporaryWatch {
 public:
  explicit TemporaryWatch(const fs::path& folder) : fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, folder.c_str(), IN_MODIFY);
  }
  ~TemporaryWatch() { close(fd_); }
  TemporaryWatch(const TemporaryWatch&) = delete;
  TemporaryWatch& operator=(const TemporaryWatch&) = delete;

  // The name of the next one written to; empty after a minute without one.
  std::string next() {
    alignas(inotify_event) char buffer[4096];
    pollfd ready{fd_, POLLIN, 0};
    while (poll(&ready, 1, 60000) == 1) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const std::string name = event->len > 0 ? event->name : "";
        if (isTemporary(name)) return name;
        at += ssize_t(sizeof(inotify_event) + event->len);
      }
    }
    return {};
  }

 private:
  int fd_;
};

// Runs fn in a child process as the user nobody. True if it returned true.
template <typename Fn>
bool asNobody(Fn fn) {
  const pid_t child = fork();
  if (child == 0) {
    const bool ok =
        setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 && fn();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class Reliability : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (testsWindowsPrograms())
      GTEST_SKIP() << "signals, inotify, ulimit and file owners are POSIX rigs";
  }
  Program program() const { return programUnderTest(GetParam()); }
  std::string pathLine(const std::string& name) const {
    return program().folder + outputSeparator() + name + "\n";
  }
  fs::path output() const { return folder_ / program().folder; }
  int sourceWidth() const { return program().scale == 2 ? 1200 : 2400; }

  // A source whose result takes a while to write, and an earlier result
  // that must survive whatever happens to the run.
  void prepareLargeWrite() {
    // Results of 11.5 MB, written in several chunks.
    const int side = sourceWidth() * 2 / 3;
    writeFile(folder_ / "a.bmp", encodeBmp(patternImage(sourceWidth(), side)));
    fs::create_directory(output());
    writeFile(output() / "a.bmp", earlier_);
  }

  // Starts the program and stops it while it writes its result. Empty when
  // no attempt caught it there.
  std::string startAndStopWhileWriting(std::unique_ptr<BackgroundRun>& run) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      writeFile(output() / "a.bmp", earlier_);
      TemporaryWatch watch(output());
      run = std::make_unique<BackgroundRun>(program().command, folder_.path(), kKeyArgs);
      const std::string temporary = watch.next();
      run->stop();
      if (!temporary.empty() && fs::exists(output() / temporary)) return temporary;
      kill(run->pid(), SIGCONT);
      run->finish();
    }
    return {};
  }

  TempFolder folder_;
  const std::vector<std::uint8_t> earlier_ = std::vector<std::uint8_t>(300, 42);
};

INSTANTIATE_TEST_SUITE_P(, Reliability, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "zorpix" : "dezorpix"; });

TEST_P(Reliability, EachInterruptionRemovesTheTemporaryFileAndEndsTheRunAsItWould) {
  prepareLargeWrite();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
    SCOPED_TRACE(strsignal(signal));
    std::unique_ptr<BackgroundRun> run;
    const std::string temporary = startAndStopWhileWriting(run);
    ASSERT_FALSE(temporary.empty()) << "the run was never caught writing its result";
    run->sendAndContinue(signal);
    EXPECT_EQ(run->finish().status, 128 + signal);
    EXPECT_EQ(entries(output()), std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(readFile(output() / "a.bmp"), earlier_);
  }
}

TEST_P(Reliability, TheNextRunRemovesWhatAKilledRunLeftBehind) {
  prepareLargeWrite();
  std::unique_ptr<BackgroundRun> killed;
  const std::string temporary = startAndStopWhileWriting(killed);
  ASSERT_FALSE(temporary.empty()) << "the run was never caught writing its result";
  killed->sendAndContinue(SIGKILL);
  EXPECT_EQ(killed->finish().status, 128 + SIGKILL);
  EXPECT_EQ(entries(output()), (std::vector<std::string>{temporary, "a.bmp"}));
  EXPECT_EQ(readFile(output() / "a.bmp"), earlier_);

  const RunResult next = runProgram(program().command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(next), pathLine("a.bmp"));
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(entries(output()), std::vector<std::string>{"a.bmp"});
  EXPECT_EQ(decodeBmp(readFile(output() / "a.bmp")).width, sourceWidth() * program().scale);
}

// Another run's file in the middle of being written is not stale: the
// clean-up must tell it from one nobody writes any more.
TEST_P(Reliability, ARunKeepsTheTemporaryFileOfARunStillWriting) {
  prepareLargeWrite();
  std::unique_ptr<BackgroundRun> writing;
  const std::string temporary = startAndStopWhileWriting(writing);
  ASSERT_FALSE(temporary.empty()) << "the run was never caught writing its result";
  const std::string stale = ".zorpix-999999999-0.tmp";
  writeFile(output() / stale, std::vector<std::uint8_t>(100, 7));

  const RunResult other = runProgram(program().command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(other), pathLine("a.bmp"));
  EXPECT_EQ(other.status, 0);
  EXPECT_EQ(entries(output()), (std::vector<std::string>{temporary, "a.bmp"}));

  kill(writing->pid(), SIGCONT);
  const RunResult first = writing->finish();
  EXPECT_EQ(fileLines(first), pathLine("a.bmp"));
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(entries(output()), std::vector<std::string>{"a.bmp"});
  EXPECT_EQ(decodeBmp(readFile(output() / "a.bmp")).width, sourceWidth() * program().scale);
}

TEST_P(Reliability, FourRunsAtOnceInOneFolderAllSucceed) {
  const Program p = program();
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) {
    names.push_back("img" + std::to_string(i) + ".bmp");
    const int side = i == 0 ? 1100 : 40 + 30 * i;  // one done alone, the rest side by side
    writeFile(folder_ / names.back(), encodeBmp(patternImage(side, side, unsigned(i + 1))));
  }
  TempFolder reference;
  for (const std::string& name : names) fs::copy_file(folder_ / name, reference / name);
  const RunResult alone = runProgram(p.command, reference.path(), kKeyArgs);
  ASSERT_EQ(alone.status, 0);

  std::vector<std::unique_ptr<BackgroundRun>> runs;
  for (int i = 0; i < 4; ++i)
    runs.push_back(std::make_unique<BackgroundRun>(p.command, folder_.path(), kKeyArgs));
  for (auto& run : runs) {
    const RunResult result = run->finish();
    EXPECT_EQ(result.output, alone.output);
    EXPECT_EQ(result.status, 0);
  }
  EXPECT_EQ(entries(output()), names);
  for (const std::string& name : names)
    EXPECT_EQ(readFile(output() / name), readFile(reference / p.folder / name)) << name;
}

// The rule Linux's protected_symlinks applies in shared folders: a link
// there is followed only when it belongs to the user who follows it or to
// the folder's owner. Whoever else may write to the working folder must not
// be able to aim the output at a folder of the user running the program.
struct OutputLink {
  const char* what;
  bool linkedByNobody;  // else by the user running the test
  bool folderOfNobody;  // the working folder's owner
  bool followed;
};

void checkOutputLink(const Program& p, const OutputLink& c) {
  SCOPED_TRACE(c.what);
  const std::vector<std::uint8_t> earlier(300, 42);
  TempFolder work, elsewhere;
  const fs::path target = elsewhere / "private";
  fs::create_directory(target);
  writeFile(target / "a.bmp", earlier);
  writeFile(work / "source.bmp", encodeBmp(patternImage(4, 3)));
  // The input is a link too, made by the same user: input links are followed.
  const fs::path relativeTarget = fs::relative(target, work.path());
  auto makeLinks = [&] {
    return symlink(relativeTarget.c_str(), (work / p.folder).c_str()) == 0 &&
           symlink("source.bmp", (work / "a.bmp").c_str()) == 0;
  };
  fs::permissions(work.path(), fs::perms(0777));
  if (c.folderOfNobody) {
    ASSERT_EQ(chown(work.path().c_str(), kNobody, kNobody), 0);
  }
  if (!c.linkedByNobody) {
    ASSERT_TRUE(makeLinks());
  } else if (!asNobody(makeLinks)) {
    GTEST_SKIP() << "the user nobody can't reach the temporary folder " << work.path();
  }

  const RunResult run = runProgram(p.command, work.path(), kKeyArgs);
  auto lines = [&](const std::string& name) {
    const std::string path = p.folder + outputSeparator() + name + "\n";
    return c.followed ? path : path + "Could not write " + path;
  };
  EXPECT_EQ(fileLines(run), lines("a.bmp") + lines("source.bmp"));
  EXPECT_EQ(run.status, c.followed ? 0 : 1);
  if (c.followed) {
    EXPECT_EQ(entries(target), (std::vector<std::string>{"a.bmp", "source.bmp"}));
    EXPECT_EQ(decodeBmp(readFile(target / "a.bmp")).width, 4 * p.scale);
  } else {
    EXPECT_EQ(entries(target), std::vector<std::string>{"a.bmp"});
    EXPECT_EQ(readFile(target / "a.bmp"), earlier);
  }
}

TEST_P(Reliability, AnOutputFolderLinkOfTheUserIsFollowed) {
  checkOutputLink(program(), {"the user's own link", false, false, true});
}

TEST_P(Reliability, AnOutputFolderLinkOfAnotherUserIsFollowedOnlyFromThatUsersFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "creating links as another user needs root";
  for (const OutputLink& c : {
           OutputLink{"another user's link in the user's folder", true, false, false},
           OutputLink{"the folder owner's link", true, true, true},
           OutputLink{"the user's own link in another user's folder", false, true, true},
       })
    checkOutputLink(program(), c);
}

TEST_P(Reliability, AHugeTailBehindTheImageIsNeitherReadNorHeldInMemory) {
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(filledImage(1, 1, Rgb{1, 2, 3})));
  // Sparse: it takes no room on disk, and reading it whole would take 6 GiB.
  fs::resize_file(folder_ / "a.bmp", std::uintmax_t{6} << 30);
  // The limit makes reading it whole fail at once; AddressSanitizer reserves
  // more address space than any limit allows.
  const std::string limit = kUnderAddressSanitizer ? "" : "ulimit -v 1048576";
  BackgroundRun run(p.command, folder_.path(), kKeyArgs, limit);
  const RunResult result = run.finish();
  EXPECT_EQ(fileLines(result), pathLine("a.bmp"));
  EXPECT_EQ(result.status, 0);
  EXPECT_LT(run.maxResidentKb(), 256 * 1024);
  EXPECT_EQ(decodeBmp(readFile(output() / "a.bmp")).pixels,
            filledImage(p.scale, p.scale, Rgb{1, 2, 3}).pixels);
}

TEST_P(Reliability, ControlCharactersInNamesAreShownAsQuestionMarks) {
  const Program p = program();
  const std::vector<std::uint8_t> image = encodeBmp(patternImage(3, 2));
  writeFile(folder_ / "bad\x01.bmp", {'n', 'o'});
  // Sorted by byte value, as the program lists them.
  const std::vector<std::pair<std::string, std::string>> shown = {
      {"caf\xc3\xa9.bmp", "caf\xc3\xa9.bmp"},
      {"del\x7f.bmp", "del?.bmp"},
      {"esc\x1b[2J.bmp", "esc?[2J.bmp"},
      {"new\nline.bmp", "new?line.bmp"},
      {"plain.bmp", "plain.bmp"},
      {"tab\t.bmp", "tab?.bmp"},
  };
  std::string expected = "Not a 24 bit BitMap file with name bad?.bmp\n";
  std::vector<std::string> written;
  for (const auto& [name, printed] : shown) {
    writeFile(folder_ / name, image);
    expected += pathLine(printed);
    written.push_back(name);
  }
  const RunResult run = runProgram(p.command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(run), expected);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(entries(output()), written) << "results keep the names of their sources";
}

TEST_P(Reliability, AFolderThatCantBeListedIsReported) {
  const Program p = program();
  writeFile(folder_ / "a.bmp", encodeBmp(patternImage(3, 2)));
  fs::permissions(folder_.path(), fs::perms(0333));
  std::string command = p.command;
  // Permissions don't bind root; the user nobody is bound by them.
  if (geteuid() == 0) {
    command = "setpriv --reuid=65534 --regid=65534 --clear-groups " + command;
    TempFolder reachable;
    fs::permissions(reachable.path(), fs::perms(0777));
    if (runProgram(command, reachable.path()).output.find("Place " + p.name) == std::string::npos)
      GTEST_SKIP() << "the user nobody can't run the program here (or setpriv is missing)";
  }
  const RunResult run = runProgram(command, folder_.path(), kKeyArgs);
  EXPECT_EQ(fileLines(run), "Cannot read folder .\n");
  EXPECT_EQ(run.status, 1);
  fs::permissions(folder_.path(), fs::perms(0700));
  EXPECT_EQ(entries(folder_.path()), std::vector<std::string>{"a.bmp"});
}

// Wherever memory runs out, in whichever thread, the file gets its one line,
// the batch goes on, and the run ends in order with no partial result.
TEST_P(Reliability, EveryMemoryLimitEndsTheRunInOrder) {
  if (kUnderAddressSanitizer)
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit allows";
  const Program p = program();
  // Files small enough to be done side by side, in threads of their own.
  // The scaler's grid takes four times the restorer's per pixel.
  const int side = p.scale == 2 ? 320 : 700;
  const int count = p.scale == 2 ? 8 : 12;
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back("img" + std::to_string(10 + i) + ".bmp");
    writeFile(folder_ / names.back(), encodeBmp(patternImage(side, side, unsigned(i + 1))));
  }
  TempFolder reference;
  for (const std::string& name : names) fs::copy_file(folder_ / name, reference / name);
  ASSERT_EQ(runProgram(p.command, reference.path(), kKeyArgs).status, 0);

  // From just above what the program needs to start to where every file
  // fits, in steps that meet every stage of the work.
  const int highestKb = p.scale == 2 ? 49152 : 73728;
  for (int limitKb = 8192; limitKb <= highestKb; limitKb += 4096) {
    SCOPED_TRACE("ulimit -v " + std::to_string(limitKb));
    fs::remove_all(output());
    const RunResult run = runProgram(p.command, folder_.path(), kKeyArgs,
                                     "ulimit -v " + std::to_string(limitKb));
    std::istringstream lines(fileLines(run));
    std::string line;
    bool anyFailed = false;
    for (const std::string& name : names) {
      ASSERT_TRUE(std::getline(lines, line))
          << "no line for " << name << ", status " << run.status << ":\n" << run.output;
      if (line == "Not enough memory for file with name " + name) {
        anyFailed = true;
        EXPECT_FALSE(fs::exists(output() / name));
      } else {
        ASSERT_EQ(line + "\n", pathLine(name)) << run.output;
        EXPECT_EQ(readFile(output() / name), readFile(reference / p.folder / name));
      }
    }
    EXPECT_FALSE(std::getline(lines, line)) << "more lines than files:\n" << run.output;
    EXPECT_EQ(run.status, anyFailed ? 1 : 0);
    for (const std::string& entry : entries(output()))
      EXPECT_NE(std::find(names.begin(), names.end(), entry), names.end()) << entry;
  }
}

}  // namespace
}  // namespace zorpix::testing
