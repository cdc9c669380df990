// FTP folders against a real local FTP server (pyftpdlib): what is fetched, deleted, skipped
// and kept, the order of the two folders, and the failures.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "core/log.h"
#include "notify/ftp.h"
#include "notify_test_support.h"
#include "platform/files.h"
#include "test_util.h"

namespace q2 {
namespace {

namespace fs = std::filesystem;
using q2test::LogTextsStartingWith;

constexpr char kUser[] = "shop";
constexpr char kPassword[] = "pa ss";

class FtpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogSettings(dir_.path() + "logs/", 0);
    root_ = dir_.path() + "root/";
    local_ = dir_.path() + "local/";
    ForceFolders(root_ + "in/");
    ForceFolders(root_ + "cmd/");
    ForceFolders(local_ + "orders/");
    ForceFolders(local_ + "cmds/");
  }

  // Starts the server on the remote tree; `extra` are more command-line switches.
  void StartServer(const std::vector<std::string>& extra = {}) {
    const std::string state = dir_.path() + "server/";
    ForceFolders(state);
    std::vector<std::string> argv = {
        q2test::Python3(), q2test::TestsDir() + "/notify/ftp_server.py",
        "--root",          root_,
        "--port-file",     state + "port",
        "--user",          kUser,
        "--password",      kPassword};
    argv.insert(argv.end(), extra.begin(), extra.end());
    server_ = std::make_unique<q2test::ChildProcess>(argv, state + "server.out");
    port_ = q2test::WaitForPort(state + "port", *server_);
    ASSERT_NE(port_, 0) << ReadFileBytes(state + "server.out");
  }

  tConSettings Endpoint(const std::string& route) const {
    tConSettings e;
    e.Protocol = "FTP";
    e.Host = "127.0.0.1";
    e.Port = port_;
    e.Login = kUser;
    e.Password = kPassword;
    e.Route = route;
    return e;
  }

  void Remote(const std::string& path, const std::string& bytes) {
    WriteFileBytes(root_ + path, bytes);
  }
  bool RemoteHas(const std::string& path) const { return fs::exists(root_ + path); }
  // Names in a local folder, hidden ones included (a left-over download would show).
  std::vector<std::string> LocalNames(const std::string& sub) const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(local_ + sub)) {
      names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  q2test::TempDir dir_;
  std::string root_, local_;
  std::unique_ptr<q2test::ChildProcess> server_;
  int port_ = 0;
};

TEST_F(FtpTest, FilesAreFetchedAndDeletedDirectoriesLeftAlone) {
  const std::string binary("a\r\nb\0\xFF\n", 8);  // must arrive byte for byte
  Remote("in/1001.xml", "<order/>");
  Remote("in/1002.xml", binary);
  Remote("in/readme.txt", "other extension");
  ForceFolders(root_ + "in/sub/");
  Remote("in/sub/1003.xml", "nested");
  StartServer();
  tConSettings endpoint = Endpoint("/in");
  endpoint.Params = "x=1";

  EXPECT_TRUE(FetchFTPFolder(endpoint, local_ + "orders/"));

  EXPECT_EQ(LocalNames("orders"), (std::vector<std::string>{"1001.xml", "1002.xml", "readme.txt"}));
  EXPECT_EQ(ReadFileBytes(local_ + "orders/1001.xml"), "<order/>");
  EXPECT_EQ(ReadFileBytes(local_ + "orders/1002.xml"), binary);
  EXPECT_FALSE(RemoteHas("in/1001.xml"));
  EXPECT_FALSE(RemoteHas("in/1002.xml"));
  EXPECT_FALSE(RemoteHas("in/readme.txt"));
  EXPECT_TRUE(RemoteHas("in/sub/1003.xml"));

  const std::string listing = "thrd.ftp : listing FTP://127.0.0.1:" + std::to_string(port_) +
                              "/in?x=1";  // no credentials in the log
  EXPECT_EQ(LogTextsStartingWith("thrd.ftp : listing "), std::vector<std::string>{listing});
  auto found = LogTextsStartingWith("thrd.ftp : found item ");
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"thrd.ftp : found item 1001.xml",
                                             "thrd.ftp : found item 1002.xml",
                                             "thrd.ftp : found item readme.txt"}));

  EXPECT_FALSE(FetchFTPFolder(endpoint, local_ + "orders/")) << "nothing left to fetch";
  EXPECT_EQ(LogTextsStartingWith("thrd.ftp : listing ").size(), 2u);
}

TEST_F(FtpTest, UnsafeNamesAreSkippedWithAWarning) {
  Remote("escape.xml", "outside the folder");
  Remote("in/..\\back.xml", "a backslash name");  // a legal name on the server's disk
  Remote("in/ok.xml", "fine");
  ForceFolders(root_ + "in/sub/");
  Remote("in/sub/inner.xml", "nested");
  // Entries no file system can hold, listed as files by the server.
  StartServer({"--inject", "../escape.xml", "--inject", "sub/inner.xml", "--inject", "..",
               "--inject", "."});

  EXPECT_TRUE(FetchFTPFolder(Endpoint("/in"), local_ + "orders/"));

  EXPECT_EQ(LocalNames("orders"), std::vector<std::string>{"ok.xml"});
  EXPECT_EQ(LocalNames(""), (std::vector<std::string>{"cmds", "orders"})) << "nothing beside";
  EXPECT_TRUE(RemoteHas("escape.xml"));
  EXPECT_TRUE(RemoteHas("in/..\\back.xml"));
  EXPECT_TRUE(RemoteHas("in/sub/inner.xml"));
  EXPECT_FALSE(RemoteHas("in/ok.xml"));

  std::vector<std::string> warned;
  for (const q2test::LogLine& line : q2test::ReadLog()) {
    if (line.text.rfind("thrd.ftp : skipped item", 0) != 0) continue;
    EXPECT_EQ(line.kind, "WARNING");
    warned.push_back(line.text);
  }
  std::sort(warned.begin(), warned.end());
  EXPECT_EQ(warned, (std::vector<std::string>{
                        "thrd.ftp : skipped item with unsafe name \".\"",
                        "thrd.ftp : skipped item with unsafe name \"..\"",
                        "thrd.ftp : skipped item with unsafe name \"../escape.xml\"",
                        "thrd.ftp : skipped item with unsafe name \"..\\back.xml\"",
                        "thrd.ftp : skipped item with unsafe name \"sub/inner.xml\"",
                    }));
  EXPECT_EQ(LogTextsStartingWith("thrd.ftp : found item "),
            std::vector<std::string>{"thrd.ftp : found item ok.xml"});
}

TEST_F(FtpTest, ServerWithoutMLSDIsListedWithLIST) {
  Remote("in/1 with blanks.xml", "b");
  Remote("in/2.xml", "c");
  ForceFolders(root_ + "in/sub/");
  StartServer({"--no-mlsd"});
  EXPECT_TRUE(FetchFTPFolder(Endpoint("/in"), local_ + "orders/"));
  EXPECT_EQ(LocalNames("orders"), (std::vector<std::string>{"1 with blanks.xml", "2.xml"}));
  EXPECT_TRUE(fs::is_directory(root_ + "in/sub"));
  EXPECT_FALSE(RemoteHas("in/1 with blanks.xml"));
}

TEST_F(FtpTest, ExistingLocalFileStopsTheFolderAndIsKept) {
  Remote("in/1.xml", "one");
  Remote("in/2.xml", "new two");
  Remote("in/3.xml", "three");
  WriteFileBytes(local_ + "orders/2.xml", "old two");
  StartServer({"--no-mlsd"});  // LIST is sorted: 1, 2, 3

  EXPECT_THROW(FetchFTPFolder(Endpoint("/in"), local_ + "orders/"), std::runtime_error);

  EXPECT_EQ(ReadFileBytes(local_ + "orders/2.xml"), "old two");
  EXPECT_TRUE(RemoteHas("in/2.xml"));
  EXPECT_EQ(ReadFileBytes(local_ + "orders/1.xml"), "one") << "fetched before the failure";
  EXPECT_FALSE(RemoteHas("in/1.xml"));
  EXPECT_TRUE(RemoteHas("in/3.xml"));
  EXPECT_FALSE(FileExists(local_ + "orders/3.xml"));
  EXPECT_EQ(LocalNames("orders"), (std::vector<std::string>{"1.xml", "2.xml"})) << "no part file";
}

TEST_F(FtpTest, EmptyRouteListsTheLoginFolder) {
  Remote("top.xml", "t");
  StartServer();
  EXPECT_TRUE(FetchFTPFolder(Endpoint(""), local_ + "orders"));  // "/" supplied
  EXPECT_EQ(ReadFileBytes(local_ + "orders/top.xml"), "t");
  EXPECT_FALSE(RemoteHas("top.xml"));
  EXPECT_TRUE(fs::is_directory(root_ + "in"));
}

TEST_F(FtpTest, FailuresAreRaisedAndLeaveTheServerAlone) {
  Remote("in/1.xml", "one");
  StartServer();
  tConSettings badPassword = Endpoint("/in");
  badPassword.Password = "wrong";
  tConSettings noFolder = Endpoint("/missing");
  tConSettings noServer = Endpoint("/in");
  noServer.Port = port_ == 65535 ? 65534 : port_ + 1;  // nothing listens there in the namespace

  for (const tConSettings& endpoint : {badPassword, noFolder, noServer}) {
    SCOPED_TRACE(endpoint.Route + " " + endpoint.Password + " " + std::to_string(endpoint.Port));
    try {
      FetchFTPFolder(endpoint, local_ + "orders/");
      ADD_FAILURE() << "no failure raised";
    } catch (const std::runtime_error& e) {
      EXPECT_STRNE(e.what(), "");
    }
  }
  EXPECT_TRUE(RemoteHas("in/1.xml"));
  EXPECT_TRUE(LocalNames("orders").empty());
}

TEST_F(FtpTest, PollTakesOrdersFirstAndCommandsWhenNoOrderCame) {
  Remote("in/10.xml", "order");
  Remote("cmd/10.xml", "command");
  StartServer();
  const tConSettings orders = Endpoint("/in");
  const tConSettings commands = Endpoint("/cmd");
  const std::string orderDir = local_ + "orders/", cmdDir = local_ + "cmds/";

  EXPECT_TRUE(PollFTP(orders, orderDir, commands, cmdDir));
  EXPECT_TRUE(FileExists(orderDir + "10.xml"));
  EXPECT_TRUE(RemoteHas("cmd/10.xml")) << "the command folder waits for the next iteration";
  EXPECT_EQ(LogTextsStartingWith("thrd.ftp : listing ").size(), 1u);

  EXPECT_TRUE(PollFTP(orders, orderDir, commands, cmdDir));
  EXPECT_EQ(ReadFileBytes(cmdDir + "10.xml"), "command");
  EXPECT_FALSE(RemoteHas("cmd/10.xml"));
  EXPECT_EQ(LogTextsStartingWith("thrd.ftp : listing ").size(), 3u);

  EXPECT_FALSE(PollFTP(orders, orderDir, commands, cmdDir));

  tConSettings commandsOnly = commands;
  Remote("cmd/11.xml", "second");
  EXPECT_TRUE(PollFTP(tConSettings(), orderDir, commandsOnly, cmdDir));
  EXPECT_TRUE(FileExists(cmdDir + "11.xml"));
}

TEST_F(FtpTest, NothingConfiguredDoesNothing) {
  EXPECT_FALSE(PollFTP(tConSettings(), local_ + "orders/", tConSettings(), local_ + "cmds/"));
  EXPECT_TRUE(q2test::ReadLog().empty());
}

}  // namespace
}  // namespace q2
