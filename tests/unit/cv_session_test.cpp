// The queue side of the session against the embedded queue manager: who
// owns the connection and the open queue after every sequence of commands,
// and what get and put refuse before they touch a queue or the network.
#include "ftp_client.h"
#include "cv_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "bridge.h"
#include "scratch_qmgr.h"
#include "ftp_ctrl.h"
#include "ftp_fixture.h"

namespace {

const char kQueue[] = "SYSTEM.DEFAULT.LOCAL.QUEUE";

class FtpCvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&session_, 0, sizeof(session_));
    FtpInit(&session_);
    EXPECT_EQ(Out([&] { return CVFtpInit(&session_); }),
              "\nConnected to default queue manager CVQM\n"
              "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
              "Message persistence set to CVPER_PERSISTENT.\n");
  }
  void TearDown() override {
    if (FtpCVConnected(&session_)) Out([&] { return FtpCVDISC(&session_); });
  }
  // Runs call, keeps its result in rc_ and returns what it printed.
  std::string Out(const std::function<int()> &call) {
    return ::Out([&] { rc_ = call(); });
  }
  std::string Name(const char *field) { return std::string(field, strnlen(field, 48)); }
  // Puts one message on the default queue with the library directly.
  void PutOne(const std::string &body) {
    CVMD md = CVMD_DEFAULT;
    CVPMO pmo = CVPMO_DEFAULT;
    CVLONG cc = -1, reason = -1;
    CVPUT(session_.Queue.Hconn, session_.Queue.Hobj, &md, &pmo, static_cast<CVLONG>(body.size()),
          body.data(), &cc, &reason);
    ASSERT_EQ(cc, CVCC_OK);
  }

  ScratchQmgr scratch_{"cv_session_test"};
  FtpSession session_;
  int rc_ = -1;
};

TEST_F(FtpCvTest, ConnectAfterAFailedOpenOrConnect) {
  // A failed cvopen leaves the queue manager connected with no queue open;
  // cvconn must still disconnect it rather than meet "already connected".
  EXPECT_EQ(Out([&] { return FtpCVOPEN(&session_, "NO.SUCH.QUEUE"); }),
            "Queue SYSTEM.DEFAULT.LOCAL.QUEUE closed\n"
            "Queue not opened, CVRC_UNKNOWN_OBJECT_NAME\n");
  EXPECT_NE(rc_, 0);
  EXPECT_TRUE(FtpCVConnected(&session_));
  EXPECT_FALSE(FtpCVQueueOpen(&session_));
  EXPECT_EQ(Name(session_.Queue.QName), "");

  EXPECT_EQ(Out([&] { return FtpCVCONN(&session_, "CVQM"); }),
            "Queue manager CVQM disconnected\n"
            "Queue manager CVQM connected\n"
            "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
            "Message persistence set to CVPER_PERSISTENT.\n");
  EXPECT_EQ(rc_, 0);
  EXPECT_TRUE(FtpCVQueueOpen(&session_));
  EXPECT_EQ(Name(session_.Queue.QName), kQueue);

  // A failed cvconn leaves nothing connected.
  EXPECT_EQ(Out([&] { return FtpCVCONN(&session_, "NOSUCHQM"); }),
            "Queue manager CVQM disconnected\n"
            "Queue manager not connected, CVRC_Q_MGR_NAME_ERROR\n");
  EXPECT_NE(rc_, 0);
  EXPECT_FALSE(FtpCVConnected(&session_));
  EXPECT_EQ(Name(session_.Queue.QMgrName), "");
  EXPECT_EQ(Name(session_.Queue.QName), "");
  // Nothing is connected, so nothing is disconnected before the next one.
  EXPECT_EQ(Out([&] { return FtpCVCONN(&session_, ""); }),
            "Queue manager  connected\n"
            "Queue SYSTEM.DEFAULT.LOCAL.QUEUE opened\n"
            "Message persistence set to CVPER_PERSISTENT.\n");
  EXPECT_EQ(rc_, 0);
}

TEST_F(FtpCvTest, DisconnectCloseAndDepthInEveryState) {
  session_.Opt.Verbose = 0;
  session_.Opt.Debug = 1;  // the depth is told as soon as it is known
  EXPECT_EQ(Out([&] { return FtpCVQDEPTH(&session_, ""); }),
            "--> CVOPEN\n--> CVINQ\nQueue depth for SYSTEM.DEFAULT.LOCAL.QUEUE = 0\n--> CVCLOSE\n");
  session_.Opt.Debug = 0;
  EXPECT_EQ(Out([&] { return FtpCVCLOSE(&session_); }), "");
  EXPECT_EQ(Out([&] { return FtpCVCLOSE(&session_); }), "Queue not closed, CVRC_HOBJ_ERROR\n");
  EXPECT_NE(rc_, 0);
  EXPECT_EQ(Out([&] { return FtpCVDISC(&session_); }), "");
  EXPECT_FALSE(FtpCVConnected(&session_));
  EXPECT_EQ(Out([&] { return FtpCVDISC(&session_); }),
            "Queue manager not disconnected, CVRC_HCONN_ERROR\n");
  EXPECT_EQ(Out([&] { return FtpCVQDEPTH(&session_, kQueue); }),
            "Not able to inquire queue depth\n");
  EXPECT_NE(rc_, 0);
}

TEST_F(FtpCvTest, NamesLongerThanTheirFieldAreRefusedNotCut) {
  const std::string longName(49, 'Q');
  // The 48-character prefix must never be used in its place.
  EXPECT_EQ(Out([&] { return FtpCVOPEN(&session_, longName.c_str()); }),
            "Queue not opened, CVRC_OBJECT_NAME_ERROR\n");
  EXPECT_TRUE(FtpCVQueueOpen(&session_)) << "the open queue stays open";
  EXPECT_EQ(Out([&] { return FtpCVQDEPTH(&session_, longName.c_str()); }),
            "Not able to inquire queue depth, CVRC_OBJECT_NAME_ERROR\n");
  EXPECT_EQ(Out([&] { return FtpCVCONN(&session_, longName.c_str()); }),
            "Queue manager not connected, CVRC_Q_MGR_NAME_ERROR\n");
  EXPECT_TRUE(FtpCVConnected(&session_)) << "refused before the old connection was touched";
}

TEST_F(FtpCvTest, TransfersRefuseBeforeTouchingQueueOrNetwork) {
  PutOne("payload");
  session_.Opt.Verbose = 0;
  // No server is connected: any attempt to transfer would print more.
  EXPECT_EQ(Out([&] { return FtpPutCV(&session_, nullptr); }), "No file specified.\n");
  EXPECT_EQ(Out([&] { return FtpPutCV(&session_, "a\rDELE b"); }),
            "cvxfer: a name cannot hold CR or LF; not sent.\n");
  EXPECT_NE(rc_, 0);
  EXPECT_EQ(Out([&] { return FtpGetCV(&session_, ""); }), "No file specified.\n");

  // The message was never taken: its backout count is still 0.
  CVMD md = CVMD_DEFAULT;
  CVGMO gmo = CVGMO_DEFAULT;
  char body[16];
  CVLONG length = 0, cc = -1, reason = -1;
  CVGET(session_.Queue.Hconn, session_.Queue.Hobj, &md, &gmo, sizeof(body), body, &length, &cc,
        &reason);
  ASSERT_EQ(cc, CVCC_OK);
  EXPECT_EQ(md.BackoutCount, 0);
  EXPECT_EQ(std::string(body, length), "payload");

  Out([&] { return FtpCVCLOSE(&session_); });
  EXPECT_EQ(Out([&] { return FtpGetCV(&session_, "file"); }),
            "Not putted on queue CVRC_HOBJ_ERROR\n");
  EXPECT_EQ(Out([&] { return FtpPutCV(&session_, "file"); }),
            "Message not getted from queue CVRC_HOBJ_ERROR\n");
  Out([&] { return FtpCVDISC(&session_); });
  EXPECT_EQ(Out([&] { return FtpGetCV(&session_, "file"); }),
            "Not putted on queue CVRC_HCONN_ERROR\n");
}

}  // namespace
