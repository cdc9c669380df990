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

// HttpSend, telling the caller whether the post arrived: true when the endpoint answered with
// a status below 400, also when something after that answer failed (a dump file, the rest of
// the reply body) and was logged as "send failed": the endpoint has the post, so sending it
// again would deliver it twice. False when it did not arrive, and for an endpoint with an
// empty Host (nothing sent, nothing logged). `outcome`, when given, gets the reply's status
// line, or the failure's message. Logs exactly as HttpSend does. Never throws.
bool HttpSendChecked(const std::string& body, const tConSettings& endpoint,
                     const tHttpOptions& options, std::string* outcome);

// HttpSendChecked for an endpoint already composed into its URL (ComposeURL(e, false, false),
// credentials and parameters included), as the outbox keeps it. `url` must not be empty.
bool HttpSendURL(const std::string& body, const std::string& url, const tHttpOptions& options,
                 std::string* outcome);

// "eq=EQ&order_id=ID&status=S", or "order_id=ID&status=S" when eq is empty; the values as
// given, not escaped.
std::string StatusBody(const std::string& eq, const std::string& orderId,
                       const std::string& status);

// Posts StatusBody(eq, orderId, status) with HttpSend. Never throws.
void SendStatus(const std::string& eq, const std::string& orderId, const tConSettings& endpoint,
                const std::string& status, const tHttpOptions& options = tHttpOptions());

}  // namespace q2
