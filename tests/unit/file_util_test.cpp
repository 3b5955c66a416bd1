// File helpers and the cycling log file.
#include "file_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

class FileUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/file_util_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/";
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Read(const std::string &name) {
    std::ifstream f(dir_ + name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  void Write(const std::string &name, size_t size, char fill = 'x') {
    std::ofstream f(dir_ + name, std::ios::binary);
    f << std::string(size, fill);
  }
  bool Exists(const std::string &name) { return access((dir_ + name).c_str(), F_OK) == 0; }
  std::string dir_;
};

TEST_F(FileUtilTest, PathsAndSizes) {
  char path[16] = "a/b";
  EXPECT_STREQ(CheckPath(path), "a/b/");
  EXPECT_STREQ(CheckPath(path), "a/b/");
  char empty[4] = "";
  EXPECT_STREQ(CheckPath(empty), "/");
  char dest[1024];
  EXPECT_STREQ(AddPath(dest, "/var/log/", "CVILOG"), "/var/log/CVILOG");
  std::string longDir(2000, 'd');
  AddPath(dest, longDir.c_str(), "name");
  EXPECT_EQ(std::strlen(dest), 1023u);

  EXPECT_EQ(FileSize((dir_ + "missing").c_str()), -1);
  Write("empty", 0);
  EXPECT_EQ(FileSize((dir_ + "empty").c_str()), 0);
  Write("five", 5);
  EXPECT_EQ(FileSize((dir_ + "five").c_str()), 5);
  EXPECT_EQ(ExistFile((dir_ + "five").c_str()), 1);
  EXPECT_EQ(ExistFile((dir_ + "missing").c_str()), 0);
}

TEST_F(FileUtilTest, LogLineFormatAndLevels) {
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 2, "boom"), 0);
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 5, "odd level"), 0);
  ASSERT_EQ(WriteLogFile(dir_.c_str(), -1, "negative"), 0);
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 1, "careful"), 0);
  std::string log = Read("CVILOG");
  std::regex line(R"(\d{4}/\d{2}/\d{2} - \d{2}:\d{2}:\d{2} - (INFO|WARNING|ERROR) - .*)");
  std::istringstream lines(log);
  std::string l;
  std::vector<std::string> levels;
  while (std::getline(lines, l)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, line)) << l;
    levels.push_back(m[1]);
  }
  EXPECT_EQ(levels, (std::vector<std::string>{"ERROR", "INFO", "INFO", "WARNING"}));
}

TEST_F(FileUtilTest, MissingDirectoryIsReported) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteLogFile((dir_ + "nope/").c_str(), 0, "x"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error opening logfile! " + dir_ + "nope/CVILOG\n");
}

TEST_F(FileUtilTest, RotatesOnlyAboveTheThreshold) {
  Write("CVILOG", 102400);
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 0, "appended"), 0);
  EXPECT_FALSE(Exists("CVILOG.1"));
  EXPECT_GT(FileSize((dir_ + "CVILOG").c_str()), 102400);

  // Now above: the next line rotates first and starts a new file.
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 0, "fresh"), 0);
  ASSERT_TRUE(Exists("CVILOG.1"));
  EXPECT_FALSE(Exists("CVILOG.2"));
  EXPECT_NE(Read("CVILOG.1").find("appended"), std::string::npos);
  EXPECT_NE(Read("CVILOG").find("fresh"), std::string::npos);
  EXPECT_LT(FileSize((dir_ + "CVILOG").c_str()), 100);
}

TEST_F(FileUtilTest, KeepsTwoGenerations) {
  Write("CVILOG", 102401, 'c');
  Write("CVILOG.1", 10, '1');
  Write("CVILOG.2", 10, '2');
  ASSERT_EQ(WriteLogFile(dir_.c_str(), 0, "new"), 0);
  EXPECT_EQ(Read("CVILOG.2"), std::string(10, '1'));
  EXPECT_EQ(Read("CVILOG.1"), std::string(102401, 'c'));
  EXPECT_NE(Read("CVILOG").find("new"), std::string::npos);

  // Without a second generation, .1 moves to .2.
  std::remove((dir_ + "CVILOG.2").c_str());
  Write("CVILOG", 102401, 'd');
  ASSERT_EQ(CycleLogFile((dir_ + "CVILOG").c_str()), 0);
  EXPECT_EQ(Read("CVILOG.2"), std::string(102401, 'c'));
  EXPECT_EQ(Read("CVILOG.1"), std::string(102401, 'd'));
  EXPECT_FALSE(Exists("CVILOG"));
}

TEST_F(FileUtilTest, OpenAndCloseLogTheirFailures) {
  FILE *f = FileOpen(dir_.c_str(), (dir_ + "missing/file").c_str(), "r");
  EXPECT_EQ(f, nullptr);
  std::string log = Read("CVILOG");
  EXPECT_NE(log.find("INFO - Error open file " + dir_ + "missing/file, attribute = r"),
            std::string::npos);
  f = FileOpen(dir_.c_str(), (dir_ + "made").c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(FileClose(dir_.c_str(), f, "made"), 0);
}

}  // namespace
