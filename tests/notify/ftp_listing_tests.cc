// Listing parsers and the name check that keeps remote names inside the local folder.
#include <gtest/gtest.h>

#include "notify/ftp_listing.h"

namespace q2 {
namespace {

constexpr auto kFile = tFTPEntryKind::ekFile;
constexpr auto kDir = tFTPEntryKind::ekDirectory;
constexpr auto kOther = tFTPEntryKind::ekOther;

struct LineCase {
  const char* line;
  bool parsed;
  const char* name;
  tFTPEntryKind kind;
};

TEST(FTPListingTest, MLSDLines) {
  const LineCase cases[] = {
      {"type=file;size=12;modify=20240101120000; 1234.xml", true, "1234.xml", kFile},
      {"Type=FILE;Size=1; a b;c.xml", true, "a b;c.xml", kFile},  // name: all after one space
      {"type=dir;perm=el; sub", true, "sub", kDir},
      {"type=cdir; .", true, ".", kDir},
      {"type=pdir; ..", true, "..", kDir},
      {"type=OS.unix=slink:/etc; link", true, "link", kOther},
      {"size=3;  lead.xml", true, " lead.xml", kOther},  // no type: not a file
      {"type=file;no-space", false, "", kOther},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    tFTPEntry entry;
    ASSERT_EQ(ParseMLSDLine(c.line, entry), c.parsed);
    if (!c.parsed) continue;
    EXPECT_EQ(entry.Name, c.name);
    EXPECT_EQ(entry.Kind, c.kind);
  }
}

TEST(FTPListingTest, LISTLines) {
  const LineCase cases[] = {
      {"-rw-r--r--   1 owner    group        1234 Jan 01 12:00 1234.xml", true, "1234.xml", kFile},
      {"-rw-r--r--   1 owner    group        1234 Dec 31  2023 old file.xml", true, "old file.xml",
       kFile},
      {"-rw-r--r--   1 owner 77 Mar  5 09:15 nogroup.xml", true, "nogroup.xml", kFile},
      {"-rw-r--r--   1 owner group 5 Mar  5 09:15 Jan 12 12:00 x", true, "Jan 12 12:00 x", kFile},
      {"drwxr-xr-x   2 owner    group        4096 Jan 01 12:00 sub", true, "sub", kDir},
      {"lrwxrwxrwx   1 owner    group           4 Jan 01 12:00 l.xml -> 1.xml", true,
       "l.xml -> 1.xml", kOther},
      {"01-15-24  10:30AM       <DIR>          orders", true, "orders", kDir},
      {"01-15-24  10:30AM                 2048 5678.xml", true, "5678.xml", kFile},
      {"total 12", false, "", kOther},
      {"", false, "", kOther},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    tFTPEntry entry;
    ASSERT_EQ(ParseLISTLine(c.line, entry), c.parsed);
    if (!c.parsed) continue;
    EXPECT_EQ(entry.Name, c.name);
    EXPECT_EQ(entry.Kind, c.kind);
  }
}

TEST(FTPListingTest, ListingKeepsOrderAndDropsUnparsedLines) {
  const auto list = ParseFTPListing(
      "total 8\r\n"
      "-rw-r--r-- 1 o g 1 Jan 01 12:00 b.xml\r\n"
      "drwxr-xr-x 2 o g 4096 Jan 01 12:00 d\n"
      "-rw-r--r-- 1 o g 1 Jan 01 12:00 a.xml",
      false);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].Name, "b.xml");
  EXPECT_EQ(list[1].Kind, kDir);
  EXPECT_EQ(list[2].Name, "a.xml");

  const auto mlsd = ParseFTPListing("type=file; x.xml\r\ngarbage\r\ntype=dir; y\r\n", true);
  ASSERT_EQ(mlsd.size(), 2u);
  EXPECT_EQ(mlsd[0].Name, "x.xml");
  EXPECT_EQ(mlsd[1].Name, "y");
}

TEST(FTPListingTest, OnlyPlainFileNamesAreSafe) {
  const struct {
    std::string name;
    bool safe;
  } cases[] = {
      {"1234.xml", true},
      {"a b.FPRINT", true},
      {"..x.xml", true},  // dots inside a name are harmless
      {"\xD0\x97\xD0\xB0.xml", true},
      {"", false},
      {".", false},
      {"..", false},
      {"../escape.xml", false},
      {"sub/1.xml", false},
      {"/etc/passwd", false},
      {"..\\escape.xml", false},
      {"a\\b", false},
      {"line\r\nDELE x", false},
      {std::string("nul\0.xml", 8), false},
      {"del\x7F", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeFTPName(c.name), c.safe) << c.name;
}

}  // namespace
}  // namespace q2
