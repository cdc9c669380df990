#include "platform/system_error.h"

#include <cerrno>

#include "platform/files.h"

namespace q2 {

tSystemError::tSystemError(int code, const std::string& message)
    : std::runtime_error(SystemErrorText(code, message)), code_(code) {}

std::string SystemErrorText(int code, const std::string& message) {
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" + message;
}

int SystemErrorCodeFromErrno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrAccessDenied;
    case ENOENT:
      return kErrFileNotFound;
    case ENOTDIR:
      return kErrPathNotFound;
    case EIO:
      return 1117;  // would collide with 5 otherwise
    default:
      return err;
  }
}

tSystemError SystemErrorFromErrno(int err) {
  return tSystemError(SystemErrorCodeFromErrno(err), SysErrorMessage(err));
}

std::string ServiceErrorMessage(int code) {
  switch (code) {
    case kErrInvalidServiceName:
      return "The name is not a valid service name.";
    case kErrServiceAlreadyRunning:
      return "An instance of the service is already running.";
    case kErrServiceDoesNotExist:
      return "The specified service does not exist as an installed service.";
    case kErrServiceNotActive:
      return "The service has not been started.";
    case kErrServiceExists:
      return "The specified service already exists.";
    default:
      return "Unknown error " + std::to_string(code) + ".";
  }
}

tSystemError ServiceError(int code) { return tSystemError(code, ServiceErrorMessage(code)); }

}  // namespace q2
