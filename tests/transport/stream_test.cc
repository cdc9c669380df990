// Memory streams, the heap stream's capacity policy and the one-block file cache.
#include "transport/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "gtest/gtest.h"
#include "platform/files.h"
#include "transport/cache_stream.h"
#include "transport/test_util.h"

// Huge requests must come back as a null pointer (as from the system allocator), not as
// a sanitizer abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace q2 {
namespace {

using test::tTempDir;

TEST(HeapMemStreamTest, CapacityPolicy) {
  struct tCase {
    int64_t current, requested, expected;
  };
  const tCase cases[] = {
      {0, 1, 16380},             // first step
      {0, 16380, 16380},         // exactly one step
      {16380, 16381, 32764},     // next step; a quarter of 16,380 is below a step
      {32764, 100, 32764},       // shrinking keeps the memory
      {32764, 0, 0},             // releasing
      {163836, 163837, 196604},  // a quarter (40,959) is more than a step: 12 steps
      {0, 65536, 81916},
  };
  for (const tCase& c : cases) {
    EXPECT_EQ(tHeapMemStream::HeapCapacity(c.current, c.requested), c.expected)
        << c.current << " -> " << c.requested;
  }
}

TEST(HeapMemStreamTest, GrowsThroughWritesAndSetSizeKeepingBytes) {
  tHeapMemStream s;
  s.Write("x", 1);
  EXPECT_EQ(s.Capacity(), 16380);
  std::string big = test::RandomBytes(16380, 1);
  s.Write(big.data(), big.size());  // needs 16,381
  EXPECT_EQ(s.Capacity(), 32764);
  s.SetSize(100);
  EXPECT_EQ(s.Capacity(), 32764);
  EXPECT_EQ(s.Position(), 100);
  EXPECT_EQ(s.Bytes(), "x" + big.substr(0, 99));
  s.SetSize(0);
  EXPECT_EQ(s.Capacity(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(HeapMemStreamTest, FailedGrowthNamesTheSizes) {
  constexpr int64_t kHuge = int64_t{1} << 46;
  tHeapMemStream fresh;
  try {
    fresh.SetSize(kHuge);
    FAIL() << "no failure";
  } catch (const EReallocException& e) {
    const std::string text = e.what();
    EXPECT_EQ(text.rfind("tHeapMemStream memory alloc (" +
                             std::to_string(tHeapMemStream::HeapCapacity(0, kHuge)) + ") Error=\"",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\", AvailVirtual="), std::string::npos) << text;
    EXPECT_NE(text.find(", Heap AddrSpace="), std::string::npos) << text;
  }
  tHeapMemStream used;
  used.Write("abc", 3);
  try {
    used.SetSize(kHuge);
    FAIL() << "no failure";
  } catch (const EReallocException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("tHeapMemStream memory realloc (from 16380 to ", 0), 0u)
        << e.what();
  }
  EXPECT_EQ(used.Bytes(), "abc");  // a failed growth keeps what was there
}

TEST(MemoryStreamTest, SeekPastEndThenWriteFillsTheGapWithZeros) {
  TToolMemoryStream s;
  s.Seek(3, tSeekOrigin::soBeginning);
  s.Write("ab", 2);
  EXPECT_EQ(s.Bytes(), std::string("\0\0\0ab", 5));
  EXPECT_TRUE(s.Eof());
  s.Seek(-2, tSeekOrigin::soEnd);
  EXPECT_EQ(s.Remaining(), 2);
  EXPECT_EQ(*s.GetPositionMemory(), 'a');
  char buf[8];
  EXPECT_EQ(s.Read(buf, sizeof buf), 2u);
  EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
}

TEST(MemoryStreamTest, ReadString) {
  TToolMemoryStream s;
  s.Write(
      "\x03"
      "abc"
      "\x00"
      "\x05"
      "xy",
      8);
  s.Seek(0, tSeekOrigin::soBeginning);
  EXPECT_EQ(s.ReadString(), "abc");
  EXPECT_EQ(s.ReadString(), "");  // a zero length byte
  EXPECT_THROW(
      {
        try {
          s.ReadString();  // announces 5, holds 2
        } catch (const EStreamError& e) {
          EXPECT_STREQ(e.what(), "Stream read error");
          throw;
        }
      },
      EStreamError);
  s.Seek(0, tSeekOrigin::soEnd);
  EXPECT_EQ(s.ReadString(), "");  // at the end
}

// A cache over a plain file in a temporary folder.
class CacheStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(dir_.File("cache.bin").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { close(fd_); }
  std::string FileBytes() const { return ReadFileBytes(dir_.File("cache.bin")); }

  tTempDir dir_;
  int fd_ = -1;
};

TEST_F(CacheStreamTest, LeavingABlockSavesIt) {
  const std::string data = test::RandomBytes(65536, 2);
  TCacheStream s(fd_, 0);
  EXPECT_EQ(s.Write(data.data(), data.size()), data.size());
  EXPECT_EQ(FileBytes().size(), 0u);  // still in the cache
  EXPECT_EQ(s.Write("z", 1), 1u);     // selects block 65,536
  EXPECT_EQ(s.BlockPositionForTesting(), 65536);
  EXPECT_EQ(s.Size(), 65537);
  EXPECT_EQ(FileBytes(), data);
  s.commit();
  EXPECT_EQ(FileBytes(), data + "z");
}

TEST_F(CacheStreamTest, ReadsAcrossABlockBoundaryAndStopsAtTheEnd) {
  const std::string data = test::RandomBytes(70000, 3);
  ASSERT_EQ(write(fd_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  TCacheStream s(fd_, static_cast<int64_t>(data.size()));
  EXPECT_EQ(s.Seek(65531, tSeekOrigin::soBeginning), 65531);
  char buf[10];
  ASSERT_EQ(s.Read(buf, 10), 10u);
  EXPECT_EQ(std::string(buf, 10), data.substr(65531, 10));
  EXPECT_EQ(s.Seek(100, tSeekOrigin::soEnd), 70000);  // past the end: at the end
  EXPECT_EQ(s.Read(buf, 10), 0u);
  EXPECT_EQ(s.Seek(-3, tSeekOrigin::soCurrent), 69997);
  EXPECT_EQ(s.Read(buf, 10), 3u);
  EXPECT_EQ(std::string(buf, 3), data.substr(69997));
}

TEST_F(CacheStreamTest, SetSizeBelowTheCachedBlockDropsItsBytes) {
  const std::string data = test::RandomBytes(70000, 4);
  TCacheStream s(fd_, 0);
  s.Write(data.data(), data.size());  // block 65,536 cached and modified
  s.SetSize(65536);
  EXPECT_EQ(s.BlockPositionForTesting(), TCacheStream::kNoBlock);
  EXPECT_EQ(s.Position(), 65536);
  s.SetSize(70000);
  s.commit();
  EXPECT_EQ(FileBytes(), data.substr(0, 65536) + std::string(70000 - 65536, '\0'));
}

TEST_F(CacheStreamTest, ShrinkingInsideTheCachedBlockThenGrowingReadsZeros) {
  TCacheStream s(fd_, 0);
  s.Write("abcdef", 6);
  s.SetSize(2);
  s.SetSize(6);
  s.Seek(0, tSeekOrigin::soBeginning);
  char buf[6];
  ASSERT_EQ(s.Read(buf, 6), 6u);
  EXPECT_EQ(std::string(buf, 6), std::string("ab\0\0\0\0", 6));
  s.FlushBuffers();
  EXPECT_EQ(FileBytes(), std::string("ab\0\0\0\0", 6));
}

TEST_F(CacheStreamTest, ResetStreamDropsTheBlockAndRewinds) {
  TCacheStream s(fd_, 0);
  s.Write("abc", 3);
  s.ResetStream(0);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(s.Size(), 0);
  s.Write("xy", 2);
  s.commit();
  EXPECT_EQ(FileBytes(), "xy");
}

TEST_F(CacheStreamTest, UnreadableFileRaisesCsError) {
  TCacheStream s(fd_, 100);  // claims 100 bytes the file does not have
  char buf[4];
  try {
    s.Read(buf, 4);
    FAIL() << "no failure";
  } catch (const csError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Can not read cached file. Win err=", 0), 0u);
  }
}

TEST(TempFileCacheStreamTest, FileHasNoNameAndIsGoneAfterDestroy) {
  tTempDir dir;
  test::tEnvOverride tmpdir("TMPDIR", dir.Path());
  const std::string folder = dir.Path() + "/zoltstreams";
  EXPECT_EQ(tTempFileCacheStream::Folder(), folder + "/");
  std::string proc;
  {
    tTempFileCacheStream s("tmp");
    EXPECT_TRUE(DirectoryExists(folder));
    struct stat st {};
    ASSERT_EQ(fstat(s.Handle(), &st), 0);
    EXPECT_EQ(st.st_nlink, 0u);  // no name: a crash cannot leave it behind
    proc = "/proc/self/fd/" + std::to_string(s.Handle());
    const std::string data = test::RandomBytes(200000, 5);
    s.Write(data.data(), data.size());
    s.Seek(0, tSeekOrigin::soBeginning);
    std::string back(data.size(), '\0');
    EXPECT_EQ(s.Read(back.data(), back.size()), data.size());
    EXPECT_EQ(back, data);
  }
  EXPECT_TRUE(DirectoryExists(folder));  // the folder stays
  EXPECT_TRUE(std::filesystem::is_empty(folder));
  std::error_code ec;
  const std::string target = std::filesystem::read_symlink(proc, ec).string();
  EXPECT_EQ(target.find("zoltstreams"), std::string::npos) << target;  // handle closed
}

TEST(TempFileNameTest, MakesAUniqueEmptyFileInTheSubfolder) {
  tTempDir dir;
  const std::string a = MakeTempFileName(dir.Path(), "sub/deeper", "tmp");
  const std::string b = MakeTempFileName(dir.Path(), "sub/deeper", "tmp");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(dir.Path() + "/sub/deeper/tmp", 0), 0u) << a;
  EXPECT_TRUE(FileExists(a));
  EXPECT_EQ(ReadFileBytes(a), "");
}

}  // namespace
}  // namespace q2
