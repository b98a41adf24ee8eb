// The file-system requests through the real agent: one of each family.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "tests/support/agent_process.h"

namespace {

using std::string;

class FilesWireTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    agent_ = new TAgentProcess(
        "unc=1\nfoldersize=1\ncountfiles=1\nfileexists=1\n"
        "filecrc=1\ncomparefiles=1\n");
    started_ = agent_->Start();
  }
  static void TearDownTestSuite() {
    delete agent_;
    agent_ = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(started_); }

  static TAgentProcess* agent_;
  static bool started_;
};

TAgentProcess* FilesWireTest::agent_ = nullptr;
bool FilesWireTest::started_ = false;

TEST_F(FilesWireTest, DiskTests) {
  EXPECT_EQ(agent_->Request("TEST-UNC", {""}), "501\nPath not specified\n");
  const string data = agent_->Dir().Join("data");
  ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
  agent_->WriteFile("data/a.log", "12345");
  agent_->WriteFile("data/b.log", "1");
  EXPECT_EQ(agent_->Request("TEST-CountFiles", {data, "*.log", "0", "3", "2"}), "200\n1\n");
  EXPECT_EQ(agent_->Request("TEST-FolderSize", {data + "/*.log", "0"}), "200\n     6\n");
}

TEST_F(FilesWireTest, FileTests) {
  agent_->WriteFile("crc.txt", "123456789");
  const string name = agent_->Dir().Join("crc.txt");
  EXPECT_EQ(agent_->Request("TEST-FileCRC", {name}), "200\n873187033\n");  // 0x340BC6D9
  EXPECT_EQ(agent_->Request("TEST-FileCompare", {"2", name, "567"}), "200\n1\n");
}

TEST_F(FilesWireTest, FileListAndRequestsNotProvided) {
  ASSERT_EQ(mkdir(agent_->Dir().Join("list").c_str(), 0755), 0);
  agent_->WriteFile("list/only.txt", "x");
  EXPECT_EQ(agent_->Request("GetFilesList", {agent_->Dir().Join("list"), "", "0", "1"}),
            "200\n" + agent_->Dir().Join("list/") + "\n1\n2\nonly.txt\n0\n");
  EXPECT_EQ(agent_->Request("TEST-Ping", {"127.0.0.1"}), "500\nnot implemented yet\n");
  EXPECT_EQ(agent_->Request("TEST-DiskSpace", {"/"}), "500\nNot applicable for UNIX/Linux\n");
}

}  // namespace
