// Reason names and the queue helpers with their call log, against real
// queue managers in a temporary data directory.
#include "cv_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(ReasonStringTest, NamesEveryListedCode) {
  EXPECT_EQ(ReasonStringCount(), 323);
  EXPECT_STREQ(ReasonString(0), "CVRC_NONE");
  EXPECT_STREQ(ReasonString(2033), "CVRC_NO_MSG_AVAILABLE");
  EXPECT_STREQ(ReasonString(2080), "CVRC_TRUNCATED_MSG_FAILED");
  EXPECT_STREQ(ReasonString(262), "CVFB_CHANNEL_COMPLETED");
  EXPECT_STREQ(ReasonString(2361), "CVRC_NEXT_RECORD_ERROR");
  EXPECT_STREQ(ReasonString(2460), "CVRC_HMSG_ERROR");  // the streams' handles
  EXPECT_STREQ(ReasonString(65535), "CVFB_SYSTEM_LAST");
  EXPECT_STREQ(ReasonString(65536), "CVFB_APPL_FIRST");
  EXPECT_STREQ(ReasonString(999999999), "CVFB_APPL_LAST");
  for (int32_t unknown : {-1, 1, 269, 270, 2015, 2362, 65534, 65537, 1000000000}) {
    EXPECT_STREQ(ReasonString(unknown), "UNKWOWN REASON") << unknown;
  }
}

TEST(ReasonStringTest, TheGapsBetweenReasonCodesHaveNoName) {
  std::vector<int> gaps = {2015, 2028, 2032, 2054, 2060, 2064, 2073, 2074, 2081, 2083, 2084, 2088,
                           2089, 2147, 2151, 2200, 2205, 2221, 2240, 2254, 2271, 2272, 2275, 2276};
  for (int c = 2164; c <= 2172; c++) gaps.push_back(c);
  for (int c = 2174; c <= 2181; c++) gaps.push_back(c);
  for (int c = 2210; c <= 2215; c++) gaps.push_back(c);
  for (int c = 2228; c <= 2231; c++) gaps.push_back(c);
  int named = 0;
  for (int c = 2001; c <= 2361; c++) {
    bool gap = std::find(gaps.begin(), gaps.end(), c) != gaps.end();
    std::string name = ReasonString(c);
    EXPECT_EQ(name == "UNKWOWN REASON", gap) << c;
    if (!gap) {
      named++;
      EXPECT_EQ(name.rfind("CVRC_", 0), 0u) << c;
    }
  }
  EXPECT_EQ(named, 310);
}

class QueueHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/cv_util_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    setenv("CORVANE_HOME", (root_ + "/home").c_str(), 1);
    log_ = root_ + "/";
    CVLogLevel = 0;
  }
  void TearDown() override {
    CVLONG cc, reason;
    CVDISC(&hconn_, &cc, &reason);
    CVLogLevel = 0;
    std::system(("rm -rf '" + root_ + "'").c_str());
  }
  std::string Log() {
    std::ifstream f(log_ + "CVILOG");
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::string root_;
  std::string log_;
  CVHCONN hconn_ = CVHC_UNUSABLE_HCONN;
};

TEST_F(QueueHelperTest, ConnectTwiceIsAWarningNotAFailure) {
  ASSERT_EQ(CVconn(log_.c_str(), "", &hconn_), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(CVconn(log_.c_str(), "", &hconn_), 0);  // already connected
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Log(), "");  // level 0 logs failures only
}

TEST_F(QueueHelperTest, FailedConnectPrintsAndLogs) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(CVconn(log_.c_str(), "NO.SUCH.QM", &hconn_), CVRC_Q_MGR_NAME_ERROR);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "CVCONN FAILED\nCVRC_Q_MGR_NAME_ERROR");
  EXPECT_NE(Log().find("ERROR - CVCONN ended with reason code 2058 : CVRC_Q_MGR_NAME_ERROR"),
            std::string::npos);
}

TEST_F(QueueHelperTest, DepthAndMaximumLengthWithTheirLog) {
  ASSERT_EQ(CVconn(log_.c_str(), "", &hconn_), 0);
  CVLogLevel = 3;
  CVLONG depth = -7;
  EXPECT_EQ(GetQueueDepth(log_.c_str(), hconn_, "SYSTEM.DEFAULT.LOCAL.QUEUE", &depth), 0);
  EXPECT_EQ(depth, 0);
  std::string log = Log();
  size_t open = log.find("INFO - CVOPEN ended OK");
  size_t inq = log.find("INFO - CVINQ ended OK");
  size_t close = log.find("INFO - CVCLOSE ended OK");
  ASSERT_NE(open, std::string::npos);
  EXPECT_LT(open, inq);
  EXPECT_LT(inq, close);
  ASSERT_NE(close, std::string::npos);

  CVLONG maxLength = 0;
  EXPECT_EQ(GetMAXMSGL(log_.c_str(), hconn_, "SYSTEM.DEFAULT.LOCAL.QUEUE", &maxLength), 0);
  EXPECT_EQ(maxLength, 104857600);

  CVLogLevel = 0;
  CVLONG untouched = 42;
  EXPECT_EQ(GetQueueDepth(log_.c_str(), hconn_, "NO.SUCH.QUEUE", &untouched),
            CVRC_UNKNOWN_OBJECT_NAME);
  EXPECT_EQ(untouched, 42);
  EXPECT_NE(Log().find("ERROR - CVOPEN ended with reason code 2085 : CVRC_UNKNOWN_OBJECT_NAME"),
            std::string::npos);
  EXPECT_EQ(CVdisc(log_.c_str(), &hconn_), 0);
}

TEST_F(QueueHelperTest, LogLevelsFilterByOutcome) {
  CVLogLevel = -1;
  EXPECT_EQ(WriteLogCV(log_.c_str(), kCVCallGet, CVCC_FAILED, 2033), 0);
  EXPECT_EQ(Log(), "");
  CVLogLevel = 1;
  WriteLogCV(log_.c_str(), kCVCallGet, CVCC_WARNING, 2079);
  WriteLogCV(log_.c_str(), kCVCallGet, CVCC_OK, 0);
  WriteLogCV(log_.c_str(), kCVCallGet, -1, -1);
  EXPECT_EQ(Log(), "");
  CVLogLevel = 2;
  WriteLogCV(log_.c_str(), kCVCallBegin, CVCC_WARNING, 2079);
  EXPECT_NE(Log().find("WARNING - CVBEGIN ended with reason code 2079 : "
                       "CVRC_TRUNCATED_MSG_ACCEPTED"),
            std::string::npos);
}

TEST(PutDateTimeTest, FormatsWithColons) {
  CVMD md = CVMD_DEFAULT;
  std::memcpy(md.PutDate, "20021020", 8);
  std::memcpy(md.PutTime, "13452178", 8);
  char date[11] = {0};
  char time[9] = {0};
  EXPECT_STREQ(GetCVDate(date, &md), "20:10:2002");
  EXPECT_STREQ(GetCVTime(time, &md), "13:45:21");
}

}  // namespace
