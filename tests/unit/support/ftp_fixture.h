// ftp_fixture.h - what a call prints, a session opened on a scripted
// server, and transfers through memory, for the unit tests.
#ifndef CVXFER_TESTS_FTP_FIXTURE_H
#define CVXFER_TESTS_FTP_FIXTURE_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ftp_client.h"
#include "ftp_ctrl.h"
#include "ftp_xfer.h"
#include "loopback.h"

// Runs call and returns what it printed on standard output.
template <typename Call>
std::string Out(Call call) {
  testing::internal::CaptureStdout();
  call();
  return testing::internal::GetCapturedStdout();
}

// Retrieves name into *out through a memory sink.
inline int GetInto(FtpSession *session, const char *name, std::string *out) {
  FtpSink sink;
  sink.Write = [out](const char *data, size_t n) {
    out->append(data, n);
    return 0;
  };
  return FtpGetFileTo(session, name, sink);
}

// Stores bytes as name from a memory source read in order.
inline int PutBytes(FtpSession *session, const char *name, const std::string &bytes) {
  FtpSource source;
  source.Length = bytes.size();
  size_t at = 0;
  source.Read = [&](char *buffer, size_t n, size_t *got) {
    *got = std::min(n, bytes.size() - at);
    std::memcpy(buffer, bytes.data() + at, *got);
    at += *got;
    return 0;
  };
  return FtpPutFileFrom(session, name, source);
}

class FtpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&session_, 0, sizeof(session_));
    ASSERT_EQ(FtpInit(&session_), 0);
  }
  void TearDown() override {
    if (session_.Ctl.Socket >= 0) close(session_.Ctl.Socket);
    FtpCleanUp(&session_);
  }
  // Opens the session on server and returns what was printed.
  std::string Open(const ScriptedServer &server) {
    return Out([&] { FtpOpen(&session_, "127.0.0.1", server.Port()); });
  }
  FtpSession session_;
};

#endif
