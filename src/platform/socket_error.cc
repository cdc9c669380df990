// errno and resolver results to the socket error table, and the table's texts.
#include "platform/socket_error.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace q2 {
namespace {

struct tErrnoCode {
  int err;
  int code;
};

constexpr tErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},       {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},     {EPIPE, 10058},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},        {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},       {ESTALE, 10070},
    {EREMOTE, 10071},
};

struct tCodeText {
  int code;
  const char* text;
};

constexpr tCodeText kCodeTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

constexpr size_t kMaxSystemMessageChars = 254;

thread_local int tLastSocketError = 0;

}  // namespace

int SocketErrorFromErrno(int err) {
  if (err == 0) return 0;
  for (const tErrnoCode& e : kErrnoCodes) {
    if (e.err == err) return e.code;
  }
  return err;
}

int SocketErrorFromResolver(int gaiResult, int sysErrno) {
  switch (gaiResult) {
    case 0:
      return 0;
    case EAI_NONAME:
      return kSockErrHostNotFound;
    case EAI_AGAIN:
      return kSockErrTryAgain;
    case EAI_FAIL:
      return kSockErrNoRecovery;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return kSockErrNoData;
#endif
    case EAI_ADDRFAMILY:
      return kSockErrNoData;
    case EAI_MEMORY:
      return 10055;
    case EAI_SYSTEM:
      return sysErrno != 0 ? SocketErrorFromErrno(sysErrno) : kSockErrNoRecovery;
    default:
      return kSockErrNoRecovery;
  }
}

std::string SocketErrorMessage(int code) {
  if (code == 0) return std::string();
  for (const tCodeText& t : kCodeTexts) {
    if (t.code == code) return t.text;
  }
  // Not a table number: an errno without a counterpart. One line, bounded.
  char buffer[512];
  const char* text = strerror_r(code, buffer, sizeof buffer);
  std::string message(text);
  for (char& c : message) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  if (message.size() > kMaxSystemMessageChars) message.resize(kMaxSystemMessageChars);
  return message;
}

std::string SocketErrorText(int code) {
  if (code == 0) return ". Error=0";
  return ". Error=" + std::to_string(code) + " " + SocketErrorMessage(code);
}

int LastSocketError() { return tLastSocketError; }

void SetLastSocketError(int code) { tLastSocketError = code; }

int SetLastSocketErrorFromErrno() {
  tLastSocketError = SocketErrorFromErrno(errno);
  return tLastSocketError;
}

}  // namespace q2
