// File-system operations of the program, with Windows semantics where the system relies on
// them: name templates match without regard to letter case, a move never replaces an
// existing target, and every failing call leaves an error code for LastErrorText().
// Callable from any thread; the last error is per thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q2 {

// Names (without folder) of the entries of `folder` whose names match `nameTemplate`
// ("*" and "?" wildcards, letter case ignored). Hidden files and sub-folders whose names
// match are listed too; "." and ".." never. The order is the directory's own (no sorting).
// A folder that cannot be read gives an empty list and sets the last error.
std::vector<std::string> ListDirectory(const std::string& folder, const std::string& nameTemplate);

// True when `name` matches `nameTemplate` ("*", "?"), ignoring ASCII letter case.
bool MatchesTemplate(const std::string& name, const std::string& nameTemplate);

bool FileExists(const std::string& path);       // a regular file (or link to one)
bool DirectoryExists(const std::string& path);  // a folder

// Moves a file; fails (false, last error "file exists") when `to` exists. Across file
// systems the file is copied and the source deleted, as Windows' move does.
bool MoveFile(const std::string& from, const std::string& to);
// Copies a file, replacing `to` when it exists unless failIfExists.
bool CopyFile(const std::string& from, const std::string& to, bool failIfExists = false);
// Renames in place without ever replacing an existing target.
bool RenameNoReplace(const std::string& from, const std::string& to);
bool DeleteFile(const std::string& path);
bool CreateDirectory(const std::string& path);

// The operating system's message for the calling thread's last error (errno), and the code.
int LastErrorCode();
void SetLastErrorCode(int code);
std::string LastErrorText();
std::string SysErrorMessage(int code);

// Whole content of a file; throws std::runtime_error with the system's message on failure.
std::string ReadFileBytes(const std::string& path);
// Creates or truncates a file and writes `bytes`; throws on failure.
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The system's temporary folder, with a trailing "/".
std::string TempFolder();

// An open file descriptor, closed on destruction. Random-access reads and writes, size,
// truncation, flush and an advisory whole-file lock (released when the handle closes).
class tFileHandle final {
 public:
  enum class tOpen { ReadOnly, ReadWrite, ReadWriteCreate, CreateTruncate, AppendCreate };
  tFileHandle() = default;
  explicit tFileHandle(int fd) : fd_(fd) {}
  // A handle on a descriptor that belongs to someone else: never closed by this object.
  static tFileHandle Borrow(int fd) {
    tFileHandle h(fd);
    h.owned_ = false;
    return h;
  }
  tFileHandle(const tFileHandle&) = delete;
  tFileHandle& operator=(const tFileHandle&) = delete;
  tFileHandle(tFileHandle&& other) noexcept : fd_(other.fd_), owned_(other.owned_) {
    other.fd_ = -1;
  }
  tFileHandle& operator=(tFileHandle&& other) noexcept;
  ~tFileHandle();

  // Opens `path`; false (last error set) on failure.
  bool Open(const std::string& path, tOpen mode);
  // Opens a new file in `folder` that has no name from the start (or is unlinked at once
  // where the file system cannot do that), so that it never outlives its handle, a crash
  // included; read and write, sequential access hinted. False (last error set) on failure.
  bool OpenTemporary(const std::string& folder, const std::string& prefix);
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void Close();

  // Exclusive advisory lock. Waits up to timeoutMs (0: try once). False when not obtained.
  bool LockExclusive(int timeoutMs);

  // All of these return false (last error set) on failure.
  bool ReadAt(int64_t offset, void* buffer, size_t count, size_t* got);
  bool WriteAt(int64_t offset, const void* buffer, size_t count);
  bool Write(const void* buffer, size_t count);  // at the current position
  bool Size(int64_t* size) const;
  bool Truncate(int64_t size);
  bool Sync();  // data reaches the disk

 private:
  int fd_ = -1;
  bool owned_ = true;
};

// Creates a new empty file with a unique name made from `prefix` in `folder` (ending in
// "/"); false (last error set) on failure.
bool CreateUniqueFile(const std::string& folder, const std::string& prefix, std::string* name);

}  // namespace q2
