#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "crypto.h"

namespace orv {

namespace {

// Closes a descriptor on every path out of a function.
struct FdGuard {
  int fd;
  explicit FdGuard(int f) : fd(f) {}
  ~FdGuard() {
    if (fd >= 0) close(fd);
  }
  int Release() {
    int f = fd;
    fd = -1;
    return f;
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
};

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string ErrnoText() { return std::strerror(errno); }

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  FdGuard fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.fd < 0) {
    *error = "cannot open \"" + path + "\": " + ErrnoText();
    return false;
  }
  struct stat st;
  if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "\"" + path + "\" is not a regular file";
    return false;
  }
  bytes->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read \"" + path + "\": " + ErrnoText();
      return false;
    }
    if (n == 0) break;
    bytes->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, const std::string& bytes, unsigned mode,
                     std::string* error) {
  std::string temp = path + ".tmp-" + std::to_string(getpid());
  unlink(temp.c_str());
  FdGuard fd(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.fd < 0) {
    *error = "cannot create \"" + temp + "\": " + ErrnoText();
    return false;
  }
  bool ok = fchmod(fd.fd, mode) == 0 && WriteAll(fd.fd, bytes.data(), bytes.size()) &&
            fsync(fd.fd) == 0;
  if (!ok) *error = "cannot write \"" + temp + "\": " + ErrnoText();
  int raw = fd.Release();
  if (close(raw) != 0 && ok) {
    ok = false;
    *error = "cannot write \"" + temp + "\": " + ErrnoText();
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = "cannot rename \"" + temp + "\" to \"" + path + "\": " + ErrnoText();
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool MakeDirectories(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) {
    *error = "cannot create folder \"" + path + "\": " + ec.message();
    return false;
  }
  return true;
}

bool CopyFileHashing(const std::string& src, const std::string& dst, std::string* sha256Hex,
                     uint64_t* size, std::string* error) {
  std::string parent = std::filesystem::path(dst).parent_path().string();
  if (!parent.empty() && !MakeDirectories(parent, error)) return false;
  FdGuard in(open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (in.fd < 0) {
    *error = "cannot open \"" + src + "\": " + ErrnoText();
    return false;
  }
  FdGuard out(open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.fd < 0) {
    *error = "cannot create \"" + dst + "\": " + ErrnoText();
    return false;
  }
  Sha256 hash;
  uint64_t total = 0;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read \"" + src + "\": " + ErrnoText();
      return false;
    }
    if (n == 0) break;
    if (!WriteAll(out.fd, buffer, static_cast<size_t>(n))) {
      *error = "cannot write \"" + dst + "\": " + ErrnoText();
      return false;
    }
    if (!hash.Update(buffer, static_cast<size_t>(n))) {
      *error = "SHA-256 failed for \"" + src + "\"";
      return false;
    }
    total += static_cast<uint64_t>(n);
  }
  if (fchmod(out.fd, 0644) != 0 || close(out.Release()) != 0) {
    *error = "cannot write \"" + dst + "\": " + ErrnoText();
    return false;
  }
  if (!hash.Finish(sha256Hex)) {
    *error = "SHA-256 failed for \"" + src + "\"";
    return false;
  }
  *size = total;
  return true;
}

int LinkFromStore(const std::string& from, const std::string& to, uint64_t size,
                  std::string* error) {
  struct stat st;
  if (lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      (size != kAnySize && static_cast<uint64_t>(st.st_size) != size))
    return 0;
  std::string parent = std::filesystem::path(to).parent_path().string();
  if (!MakeDirectories(parent, error)) return -1;
  if (link(from.c_str(), to.c_str()) != 0 && errno != EEXIST) {
    *error = "cannot link \"" + from + "\" to \"" + to + "\": " + ErrnoText();
    return -1;
  }
  return 1;
}

bool SameFileBytes(const std::string& path, const std::string& bytes) {
  struct stat st;
  std::string old, ignored;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<uint64_t>(st.st_size) == bytes.size() && ReadWholeFile(path, &old, &ignored) &&
         old == bytes;
}

bool FlushFileSystem(const std::string& path, std::string* error) {
  FdGuard fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0 || syncfs(fd.fd) != 0) {
    *error = "cannot flush \"" + path + "\" to disk: " + ErrnoText();
    return false;
  }
  return true;
}

bool FlushFolder(const std::string& path, std::string* error) {
  FdGuard fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.fd < 0 || fsync(fd.fd) != 0) {
    *error = "cannot flush the folder \"" + path + "\": " + ErrnoText();
    return false;
  }
  return true;
}

}  // namespace orv
