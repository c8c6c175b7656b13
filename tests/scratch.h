// A scratch directory for tests, removed with everything in it afterwards.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

class Scratch {
 public:
  // Under $MAGSYNC_TEST_DIR where it is set (CI runs the tests again on
  // other filesystems so), else under /tmp.
  Scratch() {
    const char* base = std::getenv("MAGSYNC_TEST_DIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/magsync-test-XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    path_ = tmpl;
  }
  ~Scratch() { std::filesystem::remove_all(path_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(*this / name, std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) const { return slurp(*this / name); }

  static std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // Every entry of the directory: a file's bytes, "<dir>", "<fifo>" or "-> target".
  std::map<std::string, std::string> entries() const {
    std::map<std::string, std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      std::string name = e.path().filename();
      if (e.is_symlink())
        all[name] = "-> " + std::filesystem::read_symlink(e.path()).string();
      else if (e.is_directory())
        all[name] = "<dir>";
      else if (e.is_fifo())
        all[name] = "<fifo>";
      else
        all[name] = slurp(e.path());
    }
    return all;
  }

 private:
  std::string path_;
};

// Locks FD for writing as magsync locks a file (an open file description
// lock; flock in the POSIX-only build), without waiting: whether it could.
inline bool lock_file(int fd) {
#ifdef MAGSYNC_POSIX
  return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
#else
  struct flock l = {};
  l.l_type = F_WRLCK;
  return ::fcntl(fd, F_OFD_SETLK, &l) == 0;
#endif
}
