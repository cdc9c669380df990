#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/sleep.h"

namespace q2 {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool MatchFrom(const char* n, const char* t) {
  // Iterative wildcard match with single-star backtracking.
  const char* starT = nullptr;
  const char* starN = nullptr;
  while (*n) {
    if (*t == '*') {
      starT = t++;
      starN = n;
    } else if (*t == '?' || (*t && LowerAscii(*t) == LowerAscii(*n))) {
      ++t;
      ++n;
    } else if (starT) {
      t = starT + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (*t == '*') ++t;
  return *t == '\0';
}

}  // namespace

bool MatchesTemplate(const std::string& name, const std::string& nameTemplate) {
  // Windows treats "*.*" as "everything"; a name without a dot matches "*." too.
  if (nameTemplate == "*.*") return true;
  if (MatchFrom(name.c_str(), nameTemplate.c_str())) return true;
  if (nameTemplate.size() >= 2 && nameTemplate.compare(nameTemplate.size() - 2, 2, "*.") == 0 &&
      name.find('.') == std::string::npos) {
    return MatchFrom(name.c_str(), nameTemplate.substr(0, nameTemplate.size() - 1).c_str());
  }
  return false;
}

std::vector<std::string> ListDirectory(const std::string& folder, const std::string& nameTemplate) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return names;
  errno = 0;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (MatchesTemplate(name, nameTemplate)) names.push_back(name);
  }
  int err = errno;
  closedir(dir);
  errno = err;  // 0 after a complete listing
  return names;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE: link and unlink never replace either.
  if (link(from.c_str(), to.c_str()) != 0) return false;
  if (unlink(from.c_str()) != 0) {
    int err = errno;
    unlink(to.c_str());
    errno = err;
    return false;
  }
  return true;
}

bool MoveFile(const std::string& from, const std::string& to) {
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  if (RenameNoReplace(from, to)) return true;
  if (errno != EXDEV) return false;
  if (!CopyFile(from, to, true)) return false;
  if (unlink(from.c_str()) != 0) {
    int err = errno;
    unlink(to.c_str());
    errno = err;
    return false;
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to, bool failIfExists) {
  tFileHandle in;
  if (!in.Open(from, tFileHandle::tOpen::ReadOnly)) return false;
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
  struct stat st;
  mode_t mode = fstat(in.Fd(), &st) == 0 ? (st.st_mode & 0777) : 0644;
  tFileHandle out(open(to.c_str(), flags, mode));
  if (!out.IsOpen()) return false;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in.Fd(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    if (!out.Write(buffer, static_cast<size_t>(n))) return false;
  }
  return true;
}

bool DeleteFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    return false;
  }
  return unlink(path.c_str()) == 0;
}

bool CreateDirectory(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

int LastErrorCode() { return errno; }
void SetLastErrorCode(int code) { errno = code; }

std::string SysErrorMessage(int code) {
  char buffer[256];
  // GNU strerror_r returns the message pointer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

std::string LastErrorText() { return SysErrorMessage(errno); }

std::string ReadFileBytes(const std::string& path) {
  tFileHandle f;
  if (!f.Open(path, tFileHandle::tOpen::ReadOnly)) {
    throw std::runtime_error("Cannot open file \"" + path + "\". " + LastErrorText());
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(f.Fd(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("Cannot read file \"" + path + "\". " + LastErrorText());
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  tFileHandle f;
  if (!f.Open(path, tFileHandle::tOpen::CreateTruncate)) {
    throw std::runtime_error("Cannot create file \"" + path + "\". " + LastErrorText());
  }
  if (!f.Write(bytes.data(), bytes.size())) {
    throw std::runtime_error("Cannot write file \"" + path + "\". " + LastErrorText());
  }
}

std::string TempFolder() {
  const char* t = getenv("TMPDIR");
  std::string folder = (t && *t) ? t : "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder;
}

tFileHandle& tFileHandle::operator=(tFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    owned_ = other.owned_;
    other.fd_ = -1;
  }
  return *this;
}

tFileHandle::~tFileHandle() { Close(); }

void tFileHandle::Close() {
  if (fd_ >= 0 && owned_) {
    int err = errno;
    close(fd_);
    errno = err;
  }
  fd_ = -1;
  owned_ = true;
}

bool CreateUniqueFile(const std::string& folder, const std::string& prefix, std::string* name) {
  std::string pattern = folder + prefix + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  *name = pattern;
  return true;
}

bool tFileHandle::OpenTemporary(const std::string& folder, const std::string& prefix) {
  Close();
  fd_ = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No O_TMPFILE on this file system: a named file, unlinked before anything else.
    std::string pattern = folder + prefix + "XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) unlink(pattern.c_str());
  }
  if (fd_ < 0) return false;
  posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  return true;
}

bool tFileHandle::Open(const std::string& path, tOpen mode) {
  Close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case tOpen::ReadOnly:
      flags |= O_RDONLY;
      break;
    case tOpen::ReadWrite:
      flags |= O_RDWR;
      break;
    case tOpen::ReadWriteCreate:
      flags |= O_RDWR | O_CREAT;
      break;
    case tOpen::CreateTruncate:
      flags |= O_WRONLY | O_CREAT | O_TRUNC;
      break;
    case tOpen::AppendCreate:
      flags |= O_WRONLY | O_CREAT | O_APPEND;
      break;
  }
  fd_ = open(path.c_str(), flags, 0666);
  return fd_ >= 0;
}

bool tFileHandle::LockExclusive(int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (waited >= timeoutMs) {
      errno = EWOULDBLOCK;
      return false;
    }
    SleepMs(10);
  }
}

bool tFileHandle::ReadAt(int64_t offset, void* buffer, size_t count, size_t* got) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd_, static_cast<char*>(buffer) + done, count - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  if (got) *got = done;
  return true;
}

namespace {

// Writes all `count` bytes at `offset`, or at the current position when offset < 0.
bool WriteAll(int fd, int64_t offset, const void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const char* from = static_cast<const char*>(buffer) + done;
    ssize_t n = offset < 0 ? write(fd, from, count - done)
                           : pwrite(fd, from, count - done, offset + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {  // nothing taken: never spin
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool tFileHandle::WriteAt(int64_t offset, const void* buffer, size_t count) {
  return WriteAll(fd_, offset < 0 ? 0 : offset, buffer, count);
}

bool tFileHandle::Write(const void* buffer, size_t count) {
  return WriteAll(fd_, -1, buffer, count);
}

bool tFileHandle::Size(int64_t* size) const {
  struct stat st;
  if (fstat(fd_, &st) != 0) return false;
  *size = st.st_size;
  return true;
}

bool tFileHandle::Truncate(int64_t size) { return ftruncate(fd_, size) == 0; }

bool tFileHandle::Sync() { return fdatasync(fd_) == 0; }

}  // namespace q2
