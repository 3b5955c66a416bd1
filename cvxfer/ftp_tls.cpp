// ftp_tls.cpp - TLS with OpenSSL. One client context serves the whole run;
// it is built again when the CA settings change. Sockets stay blocking and
// carry send and receive time-outs, so that every TLS read, write and
// handshake is bounded like the plain waits.
#include "ftp_tls.h"

#include "ftp_clock.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

SSL_CTX *gContext = nullptr;
std::string gContextCa;  // the CA file gContext was built with

// The shared context for the session's CA settings, or null after a
// message.
SSL_CTX *FtpTlsContext(FtpSession *session) {
  if (gContext != nullptr && gContextCa == session->Opt.TlsCaFile) return gContext;
  FtpTlsCleanUp();
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // Data connections resume the control connection's session: keep the
  // sessions the client gets (TLS 1.3 tickets arrive after the handshake).
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  const bool loaded = session->Opt.TlsCaFile[0] != '\0'
                          ? SSL_CTX_load_verify_locations(ctx, session->Opt.TlsCaFile, nullptr) == 1
                          : SSL_CTX_set_default_verify_paths(ctx) == 1;
  if (!loaded) {
    std::printf("cvxfer: TLS: cannot load the CA certificates %s\n",
                session->Opt.TlsCaFile[0] != '\0' ? session->Opt.TlsCaFile : "of the system");
    std::fflush(stdout);
    SSL_CTX_free(ctx);
    return nullptr;
  }
  gContext = ctx;
  gContextCa = session->Opt.TlsCaFile;
  return ctx;
}

// Bounds every blocking read and write of fd by the session's time-out.
void FtpTlsBound(int fd, int seconds) {
  timeval limit = {seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

// The reason OpenSSL gives for the last failure.
std::string FtpTlsError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return errno != 0 ? std::strerror(errno) : "connection closed";
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

}  // namespace

ssl_st *FtpTlsStart(FtpSession *session, int fd, const char *host, ssl_st *resumeFrom, bool warn) {
  SSL_CTX *ctx = FtpTlsContext(session);
  SSL *tls = ctx != nullptr ? SSL_new(ctx) : nullptr;
  if (tls == nullptr) {
    FtpFail(session, FTP_EXIT_TLS);
    return nullptr;
  }
  FtpTlsBound(fd, session->Opt.Timeout);
  SSL_set_fd(tls, fd);
  in6_addr ignored{};
  const bool literal =
      inet_pton(AF_INET, host, &ignored) == 1 || inet_pton(AF_INET6, host, &ignored) == 1;
  if (!literal) SSL_set_tlsext_host_name(tls, host);
  if (session->Opt.TlsInsecure) {
    SSL_set_verify(tls, SSL_VERIFY_NONE, nullptr);
    if (warn) {
      std::printf("cvxfer: warning: the server's certificate is not verified (--insecure)\n");
      std::fflush(stdout);
    }
  } else {
    SSL_set_verify(tls, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM *param = SSL_get0_param(tls);
    if (literal) {
      X509_VERIFY_PARAM_set1_ip_asc(param, host);
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      X509_VERIFY_PARAM_set1_host(param, host, 0);
    }
  }
  if (resumeFrom != nullptr) {
    // A copy of the session the server last handed the control connection:
    // a data connection that ends badly (many servers close without
    // close_notify) makes OpenSSL spoil the session it used, and the
    // control connection's must stay good for the next one.
    SSL_SESSION *current = SSL_get0_session(resumeFrom);
    SSL_SESSION *resume = current != nullptr ? SSL_SESSION_dup(current) : nullptr;
    if (resume != nullptr) {
      SSL_set_session(tls, resume);
      SSL_SESSION_free(resume);
    }
  }
  errno = 0;
  if (SSL_connect(tls) == 1) return tls;

  const long verify = SSL_get_verify_result(tls);
  if (FtpInterruptPending()) {
    session->Run.Interrupted = 1;
    FtpFail(session, FTP_EXIT_INTERRUPTED);
  } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
    std::printf("cvxfer: timed out after %d s waiting for the TLS handshake\n",
                session->Opt.Timeout);
    FtpFailWhy(session, FTP_EXIT_TIMEOUT, "timed out after %d s waiting for the TLS handshake",
               session->Opt.Timeout);
  } else if (verify != X509_V_OK) {
    std::printf("cvxfer: TLS: the server's certificate is not trusted: %s\n",
                X509_verify_cert_error_string(verify));
    FtpFailWhy(session, FTP_EXIT_TLS, "the server's certificate is not trusted: %s",
               X509_verify_cert_error_string(verify));
  } else {
    const std::string why = FtpTlsError();
    std::printf("cvxfer: TLS handshake failed: %s\n", why.c_str());
    FtpFailWhy(session, FTP_EXIT_TLS, "TLS handshake failed: %s", why.c_str());
  }
  ERR_clear_error();
  std::fflush(stdout);
  FtpFail(session, FTP_EXIT_TLS);
  SSL_free(tls);
  return nullptr;
}

void FtpTlsEnd(ssl_st *tls, bool notify, int waitSeconds) {
  if (tls == nullptr) return;
  if (notify) {
    SSL_shutdown(tls);
    // Whatever the server sent and we never read (TLS 1.3 session tickets
    // on an upload) would turn our close into a reset that destroys the
    // end of the upload on its way: say we are done, then read until the
    // server closes too, briefly.
    const int fd = SSL_get_fd(tls);
    shutdown(fd, SHUT_WR);
    // The whole drain is bounded: a server that keeps sending after our
    // close_notify must not hold the command longer than one wait.
    char sink[4096];
    const long long deadline = FtpNowMs() + waitSeconds * 1000LL;
    for (long long left = waitSeconds * 1000LL; left > 0; left = deadline - FtpNowMs()) {
      pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0 || recv(fd, sink, sizeof(sink), 0) <= 0) break;
    }
  } else {
    // Freed without close_notify, OpenSSL would take the session for a
    // broken one and no later data connection could resume it.
    SSL_set_shutdown(tls, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  }
  SSL_free(tls);
  ERR_clear_error();
}

ssize_t FtpTlsRead(ssl_st *tls, void *buffer, size_t n, bool *unexpectedEof) {
  *unexpectedEof = false;
  size_t got = 0;
  errno = 0;
  if (SSL_read_ex(tls, buffer, n, &got) == 1) return static_cast<ssize_t>(got);
  const int error = SSL_get_error(tls, 0);
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  // A peer that closes without close_notify: many servers do; whether the
  // data is whole is for the final reply to say.
  if ((error == SSL_ERROR_SYSCALL && errno == 0) ||
      (error == SSL_ERROR_SSL &&
       ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    ERR_clear_error();
    *unexpectedEof = true;
    return 0;
  }
  ERR_clear_error();
  if (errno == 0) errno = EIO;
  return -1;
}

ssize_t FtpTlsWrite(ssl_st *tls, const void *buffer, size_t n) {
  size_t written = 0;
  errno = 0;
  if (SSL_write_ex(tls, buffer, n, &written) == 1) return static_cast<ssize_t>(written);
  ERR_clear_error();
  if (errno == 0) errno = EIO;
  return -1;
}

int FtpTlsPending(ssl_st *tls) {
  return tls != nullptr ? SSL_pending(tls) : 0;
}

const char *FtpTlsVersion(ssl_st *tls) {
  return SSL_get_version(tls);
}

void FtpTlsCleanUp(void) {
  SSL_CTX_free(gContext);
  gContext = nullptr;
  gContextCa.clear();
}
