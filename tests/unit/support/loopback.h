// loopback.h - sockets on 127.0.0.1 for tests of the TCP and FTP layers.
#ifndef CVXFER_TESTS_LOOPBACK_H
#define CVXFER_TESTS_LOOPBACK_H

#include <functional>
#include <string>
#include <mutex>
#include <thread>

// A listening socket on 127.0.0.1 and a free port; closed on destruction.
struct Listener {
  Listener();
  ~Listener();
  int Fd = -1;
  unsigned short Port = 0;
  // Accepts one connection, waiting at most timeoutMs; -1 on time-out.
  int Accept(int timeoutMs = 10000) const;
};

// Connects to 127.0.0.1:port, from source address when given; -1 on failure.
int ConnectLoopback(unsigned short port, const char *source = nullptr);

// Reads one CRLF-terminated line, waiting at most timeoutMs; "" on EOF or
// time-out. The line ends are removed.
std::string ReadLine(int fd, int timeoutMs = 10000);

// Writes all of text.
void WriteAll(int fd, const std::string &text);

// Number of open descriptors of this process.
int OpenDescriptors();

// A scripted FTP server: accepts one control connection on a loopback
// port and calls Handler with each command line it receives; the handler
// answers through the descriptor. Runs on its own thread.
class ScriptedServer {
 public:
  using Handler = std::function<void(int control, const std::string &line)>;
  ScriptedServer(std::string greeting, Handler handler);
  ~ScriptedServer();
  unsigned short Port() const { return listener_.Port; }

 private:
  Listener listener_;
  std::mutex mutex_;
  int control_ = -1;       // the accepted connection, under mutex_
  bool stopping_ = false;  // under mutex_
  std::thread thread_;
};

#endif
