// The XML-over-TCP client: carries one request document to the cash server and brings the
// response back over the framed protocol of xml_tcp_protocol.h, with the handshake once per
// connection, optional LZW compression and block scrambling, and a process-wide pool of idle
// connections (at most one per address, guarded by PoolLock) reused by the next call.
//
// Every operation reports through its result and an error text; only a broken internal
// assumption ("Assertion failure") and a port that is not a number raise. Connecting and
// every receive give up after kIoTimeoutMs ("... Error=10060 Connection timed out"); the
// handshake reply is waited for kHandshakeTimeoutMs. Callable from any thread; one
// connection serves one exchange at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/scramble.h"
#include "transport/stream.h"
#include "transport/xml_tcp_protocol.h"

namespace q2 {

// The flags word CallXmlTcp starts from; bits 6 and 7 are cleared, so it offers 0x02.
inline constexpr uint32_t kDefaultCallFlags = 0xC2;
inline constexpr int kHandshakeTimeoutMs = 10000;
inline constexpr int kIoTimeoutMs = 30000;
// Pause before the one retry of a decompression whose writing failed.
inline constexpr int kDecompressRetryPauseMs = 200;

// One exchange with the default flags, ScrambleBlock for the request and DescrambleBlock
// for the response. `address` is "host:port" (port optional, 2233) with a dotted IPv4
// address or a host name; the response is written to `output` at its position and
// `requestNumber` receives the number the server returns. True on success; otherwise
// `errorText` holds the message (see XmlTcpExchange) and the connection is closed.
bool CallXmlTcp(const std::string& address, const std::string& clientTag, const void* request,
                size_t requestLength, int32_t& requestNumber, ITransportStream& output,
                std::string& errorText);

// The exchange with an explicit flags word and routines. The routines must be one and the
// same exactly when the negotiated flags have bit 7, else it raises "Assertion failure".
// Error texts: the failed step followed by SocketErrorText ("connect 127.0.0.1:9. Error=10061
// Connection refused", "recv handshake timeout. Error=10060 Connection timed out"), or
// "Illegal handshake received", "Illegal handshake information received",
// "Disconnected receiving reply: <reason>", "Writing to <stream class>. <reason>",
// "recv Result XML body: damaged compressed response (status <n>)".
bool XmlTcpExchange(uint32_t flags, const std::string& address, const std::string& clientTag,
                    const void* request, size_t requestLength, int32_t& requestNumber,
                    ITransportStream& output, std::string& errorText, tScrambleProc scramble,
                    tScrambleProc descramble);

// The process-wide scrambling key (8-bit text); empty clears it.
void SetCallKey(const std::string& key);
std::string GetCallKey();

// Replaces the time limits (milliseconds; 0 restores the default), for tests.
void SetXmlTcpTimeouts(int ioTimeoutMs, int handshakeTimeoutMs);

// Idle pooled connections for `address` (letter case ignored).
int IdleConnectionCount(const std::string& address);
// Closes every idle connection without draining (program end; tests).
void FreeConnectionPool();

}  // namespace q2
