// Order-state notifications: a form-encoded HTTP(S) POST to one of the worker's web
// endpoints (orders, checks, cancels, ping). Fire-and-forget: the outcome is logged with
// the prefix "thrd.sndn: " and never reaches the caller.
// Called by the worker thread; each call uses its own HTTP client, so calls from several
// threads are safe too.
#pragma once

#include <string>

#include "core/con_settings.h"

namespace q2 {

inline constexpr long kHttpConnectTimeoutMs = 30'000;  // TCP and TLS connect
inline constexpr long kHttpTotalTimeoutMs = 60'000;    // whole exchange

// What the worker passes in besides the endpoint.
struct tHttpOptions {
  // Extra trusted CA certificates (PEM bundle) for HTTPS endpoints with their own certificate
  // authority, from the settings key CACertFile. Empty: the system's trust store only. When
  // set, it is trusted in addition to the system's store, never instead of it.
  std::string CACertFile;
  // Folder of hashed CA certificates that stands for the system's trust store; empty means
  // the one libcurl was built with (/etc/ssl/certs on Debian).
  std::string CAPath;
  long ConnectTimeoutMs = kHttpConnectTimeoutMs;
  long TotalTimeoutMs = kHttpTotalTimeoutMs;
};

// Posts `body` (UTF-8) to the endpoint's URL, ComposeURL(endpoint, false, false), with
// credentials from the URL sent as basic authentication. Does nothing when endpoint.Host is
// empty. Logs "thrd.sndn: sending HTTP notification: URL (body)" before and
// "thrd.sndn: Sent (status line)" after; at log level 2 and up also rewrites
// http_response.html (reply body), http_request.txt and http_response.txt (header lines) in
// the log folder. HTTPS verifies the server's certificate and host name.
// Never throws: a refused connection, a timeout, a reply status of 400 and up or a dump file
// that cannot be written is logged as "thrd.sndn: send failed. " + message.
void HttpSend(const std::string& body, const tConSettings& endpoint,
              const tHttpOptions& options = tHttpOptions());

// Posts "eq=EQ&order_id=ID&status=S", or "order_id=ID&status=S" when eq is empty, with
// HttpSend. The values are sent as given, not escaped. Never throws.
void SendStatus(const std::string& eq, const std::string& orderId, const tConSettings& endpoint,
                const std::string& status, const tHttpOptions& options = tHttpOptions());

}  // namespace q2
