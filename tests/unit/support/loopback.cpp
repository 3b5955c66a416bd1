// loopback.cpp - loopback sockets and a scripted FTP server for tests.
#include "loopback.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// host (dotted) and port as a socket address.
static sockaddr_in Address(const char *host, unsigned short port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(host);
  return a;
}

Listener::Listener() {
  Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Address("127.0.0.1", 0);
  bind(Fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  listen(Fd, 8);
  socklen_t n = sizeof(a);
  getsockname(Fd, reinterpret_cast<sockaddr *>(&a), &n);
  Port = ntohs(a.sin_port);
}

Listener::~Listener() {
  if (Fd >= 0) close(Fd);
}

int Listener::Accept(int timeoutMs) const {
  pollfd p = {Fd, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return -1;
  return accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
}

int ConnectLoopback(unsigned short port, const char *source) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = Address(source != nullptr ? source : "127.0.0.1", 0);
  sockaddr_in to = Address("127.0.0.1", port);
  if ((source != nullptr && bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof(from)) != 0) ||
      connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadLine(int fd, int timeoutMs) {
  std::string line;
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "";
    char c;
    if (recv(fd, &c, 1, 0) != 1) return "";
    if (c == '\n') break;
    line += c;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void WriteAll(int fd, const std::string &text) {
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += static_cast<size_t>(n);
  }
}

int OpenDescriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n - 1;  // the directory stream itself
}

ScriptedServer::ScriptedServer(std::string greeting, Handler handler) {
  thread_ = std::thread([this, greeting, handler]() {
    int control = listener_.Accept();
    if (control < 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      control_ = control;
      if (stopping_) shutdown(control, SHUT_RDWR);
    }
    WriteAll(control, greeting);
    for (;;) {
      std::string line = ReadLine(control, 20000);
      if (line.empty()) break;
      handler(control, line);
      if (line == "QUIT") break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    close(control);
    control_ = -1;
  });
}

// Ends the conversation at once: a test that is done does not wait for the
// server's read to time out.
ScriptedServer::~ScriptedServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    if (control_ >= 0) shutdown(control_, SHUT_RDWR);
    shutdown(listener_.Fd, SHUT_RDWR);
  }
  thread_.join();
}
