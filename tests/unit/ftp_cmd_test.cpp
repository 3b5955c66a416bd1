// Command lookup, dispatch and help of the interpreter.
#include "ftp_cmd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> gCalls;

void RecordCall(FtpSession *, char *line) {
  gCalls.emplace_back(line);
}

class FtpCmdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitFtpDoCommandList();
    gCalls.clear();
  }
  void TearDown() override {
    for (auto &saved : saved_) saved.first->Handler = saved.second;
  }
  // Routes the named row to RecordCall for the duration of the test.
  void Record(const char *name) {
    FtpDoCommandDef *row = GetFtpDoCommandByName(name);
    ASSERT_NE(row, nullptr);
    ASSERT_NE(row, FTP_DO_AMBIGUOUS);
    saved_.emplace_back(row, row->Handler);
    row->Handler = RecordCall;
  }
  std::string Dispatch(const char *text, int *result = nullptr) {
    std::vector<char> line(text, text + std::strlen(text) + 1);
    FtpSession session{};
    testing::internal::CaptureStdout();
    int r = FtpDoCommand(&session, line.data());
    if (result) *result = r;
    return testing::internal::GetCapturedStdout();
  }
  std::vector<std::pair<FtpDoCommandDef *, void (*)(FtpSession *, char *)>> saved_;
};

TEST_F(FtpCmdTest, TableIsSortedAndComplete) {
  ASSERT_EQ(gNumFtpDoCommands, 31);
  for (int i = 1; i < gNumFtpDoCommands; i++) {
    EXPECT_LT(std::strcmp(gFtpDoCommands[i - 1].Name, gFtpDoCommands[i].Name), 0)
        << gFtpDoCommands[i].Name;
  }
}

TEST_F(FtpCmdTest, UniqueAbbreviationsFindTheirCommand) {
  const std::pair<const char *, const char *> cases[] = {
      {"o", "open"},       {"q", "quit"},
      {"t", "type"},       {"u", "user"},
      {"v", "verbose"},    {"g", "get"},
      {"h", "help"},       {"l", "ls"},
      {"e", "ebcdic"},     {"a", "ascii"},
      {"cvc", "cvconn"},   {"st", "status"},
      {"sy", "system"},    {"disc", "disconnect"},
      {"cvq", "cvqdepth"}, {"rs", "rstatus"},
      {"!", "!"},          {"?", "?"}};
  for (auto &[word, name] : cases) {
    FtpDoCommandDef *row = GetFtpDoCommandByName(word);
    ASSERT_NE(row, nullptr) << word;
    ASSERT_NE(row, FTP_DO_AMBIGUOUS) << word;
    EXPECT_STREQ(row->Name, name) << word;
  }
}

TEST_F(FtpCmdTest, ExactNameWinsOverLongerNames) {
  // cd is also a prefix of nothing else, but c alone is shared with close
  // and the cv commands; cvper is a prefix of no other row either.
  EXPECT_STREQ(GetFtpDoCommandByName("cd")->Name, "cd");
  EXPECT_STREQ(GetFtpDoCommandByName("cvper")->Name, "cvper");
  EXPECT_STREQ(GetFtpDoCommandByName("dir")->Name, "dir");
}

TEST_F(FtpCmdTest, SharedPrefixesAreAmbiguous) {
  for (const char *word : {"b", "c", "cv", "d", "di", "p", "r", "s", ""}) {
    EXPECT_EQ(GetFtpDoCommandByName(word), FTP_DO_AMBIGUOUS) << "'" << word << "'";
  }
}

TEST_F(FtpCmdTest, UnknownWordsFindNothing) {
  for (const char *word : {"x", "HELP", "helpx", "getty", "~", "zz"}) {
    EXPECT_EQ(GetFtpDoCommandByName(word), nullptr) << word;
  }
}

TEST_F(FtpCmdTest, DispatchPassesTheWholeLineAsTyped) {
  Record("status");
  int r = 1;
  std::string out = Dispatch("st  with   words", &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(out, "");
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0], "st  with   words");
}

TEST_F(FtpCmdTest, DispatchReportsAmbiguousAndUnknownWords) {
  int r = 0;
  EXPECT_EQ(Dispatch("s", &r), "s: ambiguous command name.\n");
  EXPECT_EQ(r, -1);
  EXPECT_EQ(Dispatch("HELP", &r), "HELP: no such command.\n");
  EXPECT_EQ(r, -1);
}

TEST_F(FtpCmdTest, OnlyASpaceEndsTheCommandWord) {
  Record("help");
  EXPECT_EQ(Dispatch("help\tget"), "help\tget: no such command.\n");
  EXPECT_TRUE(gCalls.empty());
}

TEST_F(FtpCmdTest, OverlongWordIsUnknownAndCut) {
  std::string word(200, 'h');
  std::string out = Dispatch(word.c_str());
  EXPECT_EQ(out, std::string(63, 'h') + ": no such command.\n");
  // A long word that begins with a real name is still no command.
  Record("help");
  std::string longHelp = "help" + std::string(100, 'x');
  EXPECT_EQ(Dispatch(longHelp.c_str()), longHelp.substr(0, 63) + ": no such command.\n");
  EXPECT_TRUE(gCalls.empty());
}

TEST_F(FtpCmdTest, HelpIndexLayout) {
  testing::internal::CaptureStdout();
  FtpDoHelpIndex();
  std::string out = testing::internal::GetCapturedStdout();
  const std::string head = "Commands may be abbreviated.  Commands are:\n\n";
  ASSERT_EQ(out.substr(0, head.size()), head);
  std::string body = out.substr(head.size());
  // Six full lines of five 14-column cells, then the last name and "\n\n".
  std::vector<std::string> lines;
  size_t start = 0, nl;
  while ((nl = body.find('\n', start)) != std::string::npos) {
    lines.push_back(body.substr(start, nl - start));
    start = nl + 1;
  }
  ASSERT_EQ(lines.size(), 8u);
  for (int i = 0; i < 6; i++) EXPECT_EQ(lines[i].size(), 70u) << lines[i];
  EXPECT_EQ(lines[0].substr(0, 28), "!             ?             ");
  EXPECT_EQ(lines[6], "verbose       ");
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(start, body.size());
}

TEST_F(FtpCmdTest, HelpOfNamedCommands) {
  std::string out = Dispatch("help get ascii s nothing");
  EXPECT_EQ(out,
            "get: retrieve remote-file and store it on the local machine queue.\n"
            "Usage: get remote-file\n"
            "ascii: set ascii transer type.\n"
            "s: ambiguous command name.\n"
            "nothing: no such command.\n");
  EXPECT_EQ(Dispatch("? st"), "status: show the current status op cvxfer.\n");
}

TEST_F(FtpCmdTest, HelpAndQuestionMarkGiveTheSameIndex) {
  std::string a = Dispatch("help");
  std::string b = Dispatch("?");
  EXPECT_EQ(a, b);
  EXPECT_NE(a.find("cvqdepth"), std::string::npos);
}

}  // namespace
