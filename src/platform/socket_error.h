// Socket failures in the numbering of the Windows socket error table that the program's
// messages carry ("connect 127.0.0.1:9. Error=10061 Connection refused"): errno values and
// resolver failures are mapped to those numbers here, in one place, and the calling
// thread's last socket error is kept beside errno for the message of a failed step.
// Callable from any thread; the last socket error is per thread.
#pragma once

#include <string>

namespace q2 {

// Numbers of the table that the program's texts use.
inline constexpr int kSockErrInterrupted = 10004;
inline constexpr int kSockErrBadFile = 10009;
inline constexpr int kSockErrAccess = 10013;
inline constexpr int kSockErrFault = 10014;
inline constexpr int kSockErrInvalid = 10022;
inline constexpr int kSockErrTooManyFiles = 10024;
inline constexpr int kSockErrWouldBlock = 10035;
inline constexpr int kSockErrInProgress = 10036;
inline constexpr int kSockErrAlready = 10037;
inline constexpr int kSockErrNotSocket = 10038;
inline constexpr int kSockErrNetUnreachable = 10051;
inline constexpr int kSockErrConnReset = 10054;
inline constexpr int kSockErrNotConnected = 10057;
inline constexpr int kSockErrShutdown = 10058;
inline constexpr int kSockErrTimedOut = 10060;
inline constexpr int kSockErrRefused = 10061;
inline constexpr int kSockErrHostUnreachable = 10065;
inline constexpr int kSockErrNotInitialised = 10093;
inline constexpr int kSockErrHostNotFound = 11001;
inline constexpr int kSockErrTryAgain = 11002;
inline constexpr int kSockErrNoRecovery = 11003;
inline constexpr int kSockErrNoData = 11004;

// The table number for an errno value; 0 for 0. An errno without a counterpart in the
// table is returned unchanged (its text then comes from the operating system).
int SocketErrorFromErrno(int err);

// The table number for a getaddrinfo() result (EAI_NONAME 11001, EAI_AGAIN 11002,
// EAI_FAIL 11003, EAI_NODATA 11004; EAI_SYSTEM maps the errno of `sysErrno`); 0 for 0.
int SocketErrorFromResolver(int gaiResult, int sysErrno);

// The message of a code: the table's text, else the operating system's message for the
// code on one line, at most 254 characters. Empty for 0.
std::string SocketErrorMessage(int code);

// ". Error=0" for 0; otherwise ". Error=" + code + " " + SocketErrorMessage(code).
std::string SocketErrorText(int code);

// The calling thread's last socket error (a table number).
int LastSocketError();
void SetLastSocketError(int code);
// Sets the last socket error from the current errno and returns it.
int SetLastSocketErrorFromErrno();

}  // namespace q2
