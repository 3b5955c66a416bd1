// Command lookup, dispatch and help of the interpreter.
#include "ftp_loop.h"
#include "ftp_client.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "ftp_fixture.h"

namespace {

// Each recorded call: the line as typed, then the words the handler got.
std::vector<std::vector<std::string>> gCalls;

int RecordCall(FtpSession *, const FtpArgs *args) {
  std::vector<std::string> call{args->Line, args->Rest};
  for (int i = 0; i < args->Count; i++) call.emplace_back(args->Words[i]);
  EXPECT_EQ(args->Words[args->Count], nullptr);
  gCalls.push_back(call);
  return 7;
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
  std::string Dispatch(const char *text, int *result = nullptr, int connected = 0) {
    FtpSession session{};
    session.Ctl.Connected = connected;
    return Out([&] {
      int r = FtpDoCommand(&session, text);
      if (result) *result = r;
    });
  }
  std::vector<std::pair<FtpDoCommandDef *, int (*)(FtpSession *, const FtpArgs *)>> saved_;
};

// Every word against the lookup: a name, an abbreviation that only one name
// begins with (the single letters and "cvc" are promised to users), a prefix
// several names share, or no name. The table is sorted at start-up and
// searched in halves, so the rows added last are looked up too.
TEST_F(FtpCmdTest, LookupByNameOrUniqueAbbreviation) {
  // "word name": the word looks up that name.
  for (const std::string pair :
       {"o open",     "q quit",     "t type",     "u user",          "v verbose",
        "g get",      "h help",     "l ls",       "e ebcdic",        "a ascii",
        "cvc cvconn", "st status",  "sy system",  "disc disconnect", "cvq cvqdepth",
        "rs rstatus", "! !",        "? ?",        "cd cd",           "cvper cvper",
        "dir dir",    "del delete", "sa safeput", "mp mput",         "ra raw",
        "sit site",   "md mdelete"}) {
    const std::string word = pair.substr(0, pair.find(' ')), name = pair.substr(word.size() + 1);
    const FtpDoCommandDef *row = GetFtpDoCommandByName(word.c_str());
    ASSERT_TRUE(row != nullptr && row != FTP_DO_AMBIGUOUS) << word;
    EXPECT_EQ(row->Name, name) << word;
  }
  for (const char *word : {"si", "b", "c", "cv", "d", "di", "p", "r", "s", "m", ""})
    EXPECT_EQ(GetFtpDoCommandByName(word), FTP_DO_AMBIGUOUS) << "'" << word << "'";
  for (const char *word : {"x", "HELP", "helpx", "getty", "~", "zz"})
    EXPECT_EQ(GetFtpDoCommandByName(word), nullptr) << word;
}

TEST_F(FtpCmdTest, DispatchSplitsOnceAndPassesTheLineAsTyped) {
  using Call = std::vector<std::string>;
  // line typed -> {line, rest, words...}; abbreviations split like full names.
  const std::pair<const char *, Call> cases[] = {
      {"st  with   words", {"st  with   words", "with   words", "st", "with", "words"}},
      {"status", {"status", "", "status"}},
      // Blanks and tabs before a word separate; a tab inside one is its own.
      {"st \t x a\tb", {"st \t x a\tb", "x a\tb", "st", "x", "a\tb"}},
      {"st \"my file.txt\" b",
       {"st \"my file.txt\" b", "\"my file.txt\" b", "st", "my file.txt", "b"}},
      {"st a\"b c\"", {"st a\"b c\"", "a\"b c\"", "st", "a\"b", "c\""}},
      {"st \"\"", {"st \"\"", "\"\"", "st", ""}},
      {"st \"a\"b c\"", {"st \"a\"b c\"", "\"a\"b c\"", "st", "a\"b c"}},
  };
  Record("status");
  for (const auto &[line, expected] : cases) {
    gCalls.clear();
    int r = 0;
    EXPECT_EQ(Dispatch(line, &r), "") << line;
    EXPECT_EQ(r, 7) << "the handler's result comes back";
    ASSERT_EQ(gCalls.size(), 1u) << line;
    EXPECT_EQ(gCalls[0], expected) << line;
  }
}

// Lines the handler never sees: a precondition or the count of words fails
// (FTP_FAILED), or the word names no command or several (-1). Only a space
// ends the command word, and a long one is cut in the message even where it
// begins with a name.
TEST_F(FtpCmdTest, PreconditionsAndUnknownWordsAreCheckedBeforeTheHandler) {
  Record("ls");
  Record("open");
  Record("!");
  Record("help");
  Record("rename");  // takes two words exactly
  const std::string h200(200, 'h'), help100 = "help" + std::string(100, 'x');
  const std::string cut = ": no such command.\n", usage = "usage: rename from-name to-name\n";
  // line, connected, expected output (empty: the handler ran), result
  const std::tuple<std::string, int, std::string, int> cases[] = {
      {"ls", 0, "Not Connected.\n", FTP_FAILED},
      {"l x", 0, "Not Connected.\n", FTP_FAILED},
      {"ls x", 1, "", 7},
      {"op host 21", 1, "Already connected.  Close connection first.\n", FTP_FAILED},
      {"op host 21", 0, "", 7},
      {"ls \"open", 1, "Unbalanced quotes.\n", FTP_FAILED},
      {"rename a", 1, usage, FTP_FAILED},
      {"rename a b c", 1, usage, FTP_FAILED},
      {"rename a b", 1, "", 7},
      {"! echo \"open", 0, "", 7},  // the shell escape reads the raw line
      {"s", 0, "s: ambiguous command name.\n", -1},
      {"HELP", 0, "HELP" + cut, -1},
      {"help\tget", 0, "help\tget" + cut, -1},
      {h200, 0, std::string(63, 'h') + cut, -1},
      {help100, 0, help100.substr(0, 63) + cut, -1},
  };
  for (const auto &[line, connected, expected, result] : cases) {
    gCalls.clear();
    int r = 0;
    EXPECT_EQ(Dispatch(line.c_str(), &r, connected), expected) << line;
    EXPECT_EQ(gCalls.size(), expected.empty() ? 1u : 0u) << line;
    EXPECT_EQ(r, result) << line;
  }
}

TEST_F(FtpCmdTest, MadeArgumentsReadLikeATypedLine) {
  FtpArgs args;
  const char *words[] = {"open", "my host", "2121"};
  ASSERT_EQ(FtpMakeArgs(&args, 3, words), 0);
  EXPECT_EQ(args.Count, 3);
  EXPECT_STREQ(args.Words[1], "my host");
  EXPECT_STREQ(args.Line, "open my host 2121");
  EXPECT_STREQ(args.Rest, "my host 2121");
  EXPECT_EQ(args.Words[3], nullptr);
  std::string huge(KEYB_LINE_MAX, 'h');
  const char *tooLong[] = {"open", huge.c_str()};
  EXPECT_EQ(FtpMakeArgs(&args, 2, tooLong), -1);
  EXPECT_EQ(args.Count, 0);
}

// help takes several names, abbreviated or not, and says which name no
// command or several commands have.
TEST_F(FtpCmdTest, HelpOfNamedCommands) {
  EXPECT_EQ(Dispatch("? g s nothing a"),
            "get: retrieve remote-file and store it on the local machine queue.\n"
            "Usage: get [-d | -m directory] remote-file\n"
            "s: ambiguous command name.\n"
            "nothing: no such command.\n"
            "ascii: set ascii transer type.\n");  // no synopsis, no usage line
}

}  // namespace
