// Failures of the operating system in the form the program's service messages carry:
// "System Error.  Code: %d." CR LF + the system's message. The codes are those of the
// Windows error table that an operator of the system knows (5 access denied, 1060 no such
// service...); errno values are mapped to them here, in one place.
// Callable from any thread.
#pragma once

#include <stdexcept>
#include <string>

namespace q2 {

inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrPathNotFound = 3;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrInvalidServiceName = 123;
inline constexpr int kErrServiceAlreadyRunning = 1056;
inline constexpr int kErrServiceDoesNotExist = 1060;
inline constexpr int kErrServiceNotActive = 1062;
inline constexpr int kErrServiceExists = 1073;

// A failing service or manager call. what() is SystemErrorText(code, message).
class tSystemError final : public std::runtime_error {
 public:
  tSystemError(int code, const std::string& message);
  int Code() const { return code_; }

 private:
  int code_;
};

// "System Error.  Code: <code>." CR LF <message>.
std::string SystemErrorText(int code, const std::string& message);

// The table code for an errno value: EACCES, EPERM and EROFS are 5 (access denied), ENOENT
// 2, ENOTDIR 3; an errno without a counterpart is returned unchanged.
int SystemErrorCodeFromErrno(int err);

// The failure for an errno value: the mapped code with the system's message for errno.
tSystemError SystemErrorFromErrno(int err);

// The message for one of the service codes above (123, 1056, 1060, 1062, 1073).
std::string ServiceErrorMessage(int code);

// A tSystemError with a service code and its message.
tSystemError ServiceError(int code);

}  // namespace q2
