// registry.cpp - the data directory and the queue managers in it. A queue
// manager is a directory "<name>.qm"; the default's name is in "default".
#include "registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>

#include "cause.h"

namespace corvane {

namespace {

constexpr const char *kQmgrSuffix = ".qm";

// Creates every missing directory of path with mode 0700.
bool MakeDirs(const std::string &path) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      SetErrnoCause(partial);
      return false;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    SetErrnoCause(path);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) SetErrnoCause(path, ENOTDIR);
  return S_ISDIR(st.st_mode);
}

std::string QmgrDir(const std::string &home, const std::string &name) {
  return home + "/" + name + kQmgrSuffix;
}

bool IsDir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Fills def for the queue manager directory of name.
void Describe(const std::string &home, const std::string &name, QmgrDef *def) {
  def->Name = name;
  def->Dir = QmgrDir(home, name);
  std::string url;
  if (ReadSmallFile(def->Dir + "/amqp.url", &url)) {
    while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
    def->Kind = QmgrKind::kAmqp;
    def->Url = url;
  } else {
    def->Kind = QmgrKind::kLocal;
    def->Url.clear();
  }
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}

}  // namespace

std::string FieldName(const char *field, size_t size) {
  size_t n = strnlen(field, size);
  while (n > 0 && field[n - 1] == ' ') n--;
  return std::string(field, n);
}

bool ValidName(const std::string &name) {
  if (name.empty() || name.size() > 48) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '%';
  });
}

bool CheckName(const std::string &name) {
  if (ValidName(name)) return true;
  SetCause("'" + name + "': a name has 1 to 48 letters, digits, '.', '_' and '%'");
  return false;
}

CVLONG DataDir(std::string *dir, bool create) {
  const char *home = std::getenv("CORVANE_HOME");
  std::string path;
  if (home != nullptr && home[0] != '\0') {
    path = home;
  } else if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    path = std::string(xdg) + "/corvane";
  } else if (const char *h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
    path = std::string(h) + "/.local/share/corvane";
  } else {
    SetCause("no data directory: neither CORVANE_HOME, XDG_DATA_HOME nor HOME is set");
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (!create) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        SetCause("no queue manager: the data directory " + path +
                 " does not exist (cvadmin create QMGR makes one)");
      } else {
        SetErrnoCause(path);
      }
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
    if (!S_ISDIR(st.st_mode)) {
      SetErrnoCause(path, ENOTDIR);
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
  } else if (!MakeDirs(path)) {
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  if (access(path.c_str(), R_OK | W_OK | X_OK) != 0) {
    SetErrnoCause(path);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  *dir = path;
  return 0;
}

bool WriteFileAtomic(const std::string &path, const std::string &text) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetErrnoCause(tmp);
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t w = write(fd, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = EIO;
    ok = w > 0;
    if (ok) done += static_cast<size_t>(w);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    SetErrnoCause(ok ? path : tmp);
    unlink(tmp.c_str());
    return false;
  }
  SyncDir(path.substr(0, path.rfind('/')));
  return true;
}

bool ReadSmallFile(const std::string &path, std::string *text) {
  FILE *f = std::fopen(path.c_str(), "re");
  if (f == nullptr) return false;
  text->clear();
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof(buf), f)) {
    text->append(buf, n);
    if (text->size() > kSmallFileMax) {
      errno = EFBIG;
      break;
    }
  }
  bool ok = !std::ferror(f) && text->size() <= kSmallFileMax;
  if (std::ferror(f)) errno = EIO;
  std::fclose(f);
  return ok;
}

void SyncDir(const std::string &dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

CVLONG ListQmgrs(std::vector<std::string> *names, std::string *defaultName, bool create) {
  std::string home;
  if (CVLONG rc = DataDir(&home, create); rc != 0) return rc;
  names->clear();
  DIR *d = opendir(home.c_str());
  if (d == nullptr) {
    SetErrnoCause(home);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  while (dirent *e = readdir(d)) {
    std::string entry = e->d_name;
    size_t suffix = std::strlen(kQmgrSuffix);
    if (entry.size() <= suffix || entry.compare(entry.size() - suffix, suffix, kQmgrSuffix) != 0) {
      continue;
    }
    std::string name = entry.substr(0, entry.size() - suffix);
    if (ValidName(name) && IsDir(home + "/" + entry)) names->push_back(name);
  }
  closedir(d);
  std::sort(names->begin(), names->end());
  defaultName->clear();
  std::string text;
  if (ReadSmallFile(home + "/default", &text)) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    *defaultName = text;
  }
  return 0;
}

CVLONG CreateQmgr(const std::string &name, const std::string &url, bool makeDefault, QmgrDef *def) {
  if (!CheckName(name)) return CVRC_Q_MGR_NAME_ERROR;
  std::string home;
  if (CVLONG rc = DataDir(&home); rc != 0) return rc;
  std::vector<std::string> names;
  std::string current;
  ListQmgrs(&names, &current);

  // Build it under a temporary name so that no half-made queue manager is
  // ever visible under its own.
  std::string dir = QmgrDir(home, name);
  std::string tmp = home + "/." + name + ".new." + std::to_string(getpid());
  if (mkdir(tmp.c_str(), 0700) != 0) {
    SetErrnoCause(tmp);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  // A local one is marked as not yet having a store: only then may opening
  // it create one (see store_schema.cpp).
  if (!(url.empty() ? WriteFileAtomic(tmp + "/" + kNewStoreMarker, "")
                    : WriteFileAtomic(tmp + "/amqp.url", url + "\n"))) {
    nftw(tmp.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  if (rename(tmp.c_str(), dir.c_str()) != 0) {
    int err = errno;
    nftw(tmp.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    if (err == EEXIST || err == ENOTEMPTY) {
      SetCause("queue manager " + name + " exists already in " + home);
      return CVRC_OBJECT_ALREADY_EXISTS;
    }
    SetErrnoCause(dir, err);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  SyncDir(home);
  bool noDefault = current.empty() || !IsDir(QmgrDir(home, current));
  if ((makeDefault || noDefault) && !WriteFileAtomic(home + "/default", name + "\n")) {
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  Describe(home, name, def);
  return 0;
}

CVLONG FindQmgr(const std::string &name, QmgrDef *def, bool create) {
  std::string home;
  if (CVLONG rc = DataDir(&home, create); rc != 0) return rc;
  std::string wanted = name;
  if (wanted.empty()) {
    std::vector<std::string> names;
    std::string current;
    if (CVLONG rc = ListQmgrs(&names, &current, create); rc != 0) return rc;
    if (current.empty()) {
      if (!names.empty()) {
        SetCause("no default queue manager is recorded in " + home + "/default");
        return CVRC_Q_MGR_NOT_AVAILABLE;
      }
      if (!create) {
        SetCause("no queue manager in " + home + " (cvadmin create QMGR makes one)");
        return CVRC_Q_MGR_NOT_AVAILABLE;
      }
      CVLONG rc = CreateQmgr(kFirstQmgr, "", true, def);
      if (rc == CVRC_OBJECT_ALREADY_EXISTS) return FindQmgr(kFirstQmgr, def);  // a racing process
      return rc;
    }
    if (!IsDir(QmgrDir(home, current))) {
      SetCause("the default queue manager " + current + " recorded in " + home +
               "/default does not exist");
      return CVRC_Q_MGR_NOT_AVAILABLE;
    }
    wanted = current;
  }
  // The reason says it all: no cause, as CVCONN promises.
  if (!ValidName(wanted) || !IsDir(QmgrDir(home, wanted))) return CVRC_Q_MGR_NAME_ERROR;
  Describe(home, wanted, def);
  return 0;
}

CVLONG DeleteQmgr(const std::string &name) {
  if (!CheckName(name)) return CVRC_Q_MGR_NAME_ERROR;
  std::string home;
  if (CVLONG rc = DataDir(&home, false); rc != 0) return rc;
  std::string dir = QmgrDir(home, name);
  if (!IsDir(dir)) {
    SetCause("no queue manager " + name + " in " + home);
    return CVRC_Q_MGR_NAME_ERROR;
  }
  // Rename first: the queue manager disappears at once and as a whole.
  std::string doomed = home + "/." + name + ".deleted." + std::to_string(getpid());
  if (rename(dir.c_str(), doomed.c_str()) != 0) {
    SetErrnoCause(dir);
    return CVRC_Q_MGR_NOT_AVAILABLE;
  }
  SyncDir(home);
  nftw(doomed.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  std::string current;
  if (ReadSmallFile(home + "/default", &current)) {
    while (!current.empty() && current.back() == '\n') current.pop_back();
    if (current == name) unlink((home + "/default").c_str());
  }
  return 0;
}

CVLONG SetDefaultQmgr(const std::string &name) {
  QmgrDef def;
  if (!CheckName(name)) return CVRC_Q_MGR_NAME_ERROR;
  if (CVLONG rc = FindQmgr(name, &def, false); rc != 0) return rc;
  std::string home;
  if (CVLONG rc = DataDir(&home); rc != 0) return rc;
  return WriteFileAtomic(home + "/default", name + "\n") ? 0 : CVRC_Q_MGR_NOT_AVAILABLE;
}

}  // namespace corvane
