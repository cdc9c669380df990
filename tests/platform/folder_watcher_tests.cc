#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/files.h"
#include "platform/folder_watcher.h"
#include "test_util.h"

namespace q2 {
namespace {

// Long enough that a loaded machine running sanitizers still delivers a notification.
constexpr int kArriveMs = 3000;
// How long an event that must not come is waited for.
constexpr int kQuietMs = 300;

// Two watched folders and one beside them that is not watched.
class FolderWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    orders_ = dir_.path() + "orders/";
    commands_ = dir_.path() + "commands/";
    other_ = dir_.path() + "other/";
    for (const std::string& f : {orders_, commands_, other_}) ASSERT_TRUE(CreateDirectory(f));
    watcher_ = tFolderWatcher::Create({orders_, commands_}, &wakeUp_);
  }

  q2test::TempDir dir_;
  std::string orders_, commands_, other_;
  tEvent wakeUp_;
  std::unique_ptr<tFolderWatcher> watcher_;
};

TEST_F(FolderWatcherTest, FinishedFilesInEitherFolderSetTheEventEachTime) {
  struct Case {
    const char* what;
    std::function<void()> act;
  } cases[] = {
      {"written and closed in the order folder",
       [&] { WriteFileBytes(orders_ + "1.xml", "<order/>"); }},
      {"written and closed in the command folder",
       [&] { WriteFileBytes(commands_ + "1.xml", "FPRINT"); }},
      {"renamed into the order folder from another folder",
       [&] {
         WriteFileBytes(other_ + "2.tmp", "<order/>");
         ASSERT_TRUE(RenameNoReplace(other_ + "2.tmp", orders_ + "2.xml"));
       }},
      {"renamed from a temporary name inside the order folder",
       [&] {
         int fd = open((orders_ + "3.tmp").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
         ASSERT_GE(fd, 0);
         // The temporary file stays open while it is renamed: only the rename announces it.
         ASSERT_TRUE(RenameNoReplace(orders_ + "3.tmp", orders_ + "3.xml"));
         close(fd);
       }},
  };
  // The event was set by nothing so far; every case starts from a reset event and must set
  // it again, so a watcher that fires only once fails here.
  EXPECT_FALSE(wakeUp_.WaitFor(kQuietMs));
  for (const Case& c : cases) {
    wakeUp_.Reset();
    c.act();
    EXPECT_TRUE(wakeUp_.WaitFor(kArriveMs)) << c.what;
  }
}

TEST_F(FolderWatcherTest, FileStillBeingWrittenDoesNotWakeUntilClosed) {
  int fd = open((orders_ + "4.xml").c_str(), O_CREAT | O_WRONLY | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "<ord", 4), 4);
  EXPECT_FALSE(wakeUp_.WaitFor(kQuietMs)) << "created and partly written";
  ASSERT_EQ(write(fd, "er/>", 4), 4);
  EXPECT_FALSE(wakeUp_.WaitFor(kQuietMs)) << "written to the end but still open";
  close(fd);
  EXPECT_TRUE(wakeUp_.WaitFor(kArriveMs)) << "closed";
}

// Reading, moving out and deleting are what the worker itself does to the files it handles:
// if they woke it, every iteration would start another one.
TEST_F(FolderWatcherTest, OtherFoldersAndTheWorkersOwnChangesDoNotWake) {
  struct Case {
    const char* what;
    std::function<void()> act;
  } cases[] = {
      {"file written in a folder that is not watched",
       [&] { WriteFileBytes(other_ + "5.xml", "<order/>"); }},
      {"file written in a sub-folder of a watched folder",
       [&] {
         ASSERT_TRUE(CreateDirectory(orders_ + "sub"));
         WriteFileBytes(orders_ + "sub/6.xml", "<order/>");
       }},
      {"file read", [&] { EXPECT_EQ(ReadFileBytes(orders_ + "7.xml"), "<order/>"); }},
      {"file moved out",
       [&] { ASSERT_TRUE(RenameNoReplace(orders_ + "7.xml", other_ + "7.xml")); }},
      {"file deleted", [&] { ASSERT_TRUE(DeleteFile(commands_ + "8.xml")); }},
  };
  WriteFileBytes(orders_ + "7.xml", "<order/>");
  WriteFileBytes(commands_ + "8.xml", "KILL");
  ASSERT_TRUE(wakeUp_.WaitFor(kArriveMs));
  // The second file's notification may come in a later read than the first one's.
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  for (const Case& c : cases) {
    wakeUp_.Reset();
    c.act();
    EXPECT_FALSE(wakeUp_.WaitFor(kQuietMs)) << c.what;
  }
}

TEST_F(FolderWatcherTest, BurstOfFilesSetsTheEventAndTheWatcherKeepsGoing) {
  for (int i = 0; i < 2000; ++i) WriteFileBytes(orders_ + std::to_string(i) + ".xml", "x");
  EXPECT_TRUE(wakeUp_.WaitFor(kArriveMs));
  // Let the watcher read what is queued, then check that it still answers.
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  wakeUp_.Reset();
  WriteFileBytes(commands_ + "last.xml", "PING");
  EXPECT_TRUE(wakeUp_.WaitFor(kArriveMs));
}

TEST_F(FolderWatcherTest, DestructionIsPromptAndLaterFilesDoNotTouchTheEvent) {
  auto start = std::chrono::steady_clock::now();
  watcher_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  WriteFileBytes(orders_ + "9.xml", "<order/>");
  EXPECT_FALSE(wakeUp_.WaitFor(kQuietMs));
}

TEST(FolderWatcher, FolderThatCannotBeWatchedFailsCreateNamingIt) {
  q2test::TempDir dir;
  const std::string good = dir.path() + "good/";
  const std::string file = dir.path() + "file.xml";
  ASSERT_TRUE(CreateDirectory(good));
  WriteFileBytes(file, "x");
  struct Case {
    std::string folder;
    std::string reason;
  } cases[] = {
      {dir.path() + "missing/", SysErrorMessage(ENOENT)},
      {file, SysErrorMessage(ENOTDIR)},
  };
  for (const Case& c : cases) {
    tEvent wakeUp;
    try {
      // The good folder first: a failure after a successful watch must still be reported.
      tFolderWatcher::Create({good, c.folder}, &wakeUp);
      ADD_FAILURE() << "no failure for " << c.folder;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "can't watch folder \"" + c.folder + "\": " + c.reason);
    }
    EXPECT_FALSE(wakeUp.IsSet());
  }
}

}  // namespace
}  // namespace q2
