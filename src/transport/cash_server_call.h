// The one way the worker talks to the cash server: a serialised request document goes out
// over HTTP (libcurl) or the XML-over-TCP protocol, the reply is loaded into a document and
// its "ZoltQueryResult" status is checked. Every failure is raised with its message;
// fDisconnected tells whether the failure was one of reaching the server (true) or an
// error answer from a server that was reached (false).
// Worker thread only.
#pragma once

#include <string>

#include "core/con_settings.h"
#include "xml/xml.h"

namespace q2 {

// The cash-server endpoint and transport choice of the worker, and the call itself.
class tCashServerCall final {
 public:
  bool fZoltRequest = false;  // true: HTTP; false: XML over TCP
  tConSettings fcZolt;        // the TCP path uses Host and Port, HTTP the whole record
  bool fDisconnected = false;

  // `request` holds the serialised request document followed by exactly one zero byte.
  // Fills `response` and returns only when its "ZoltQueryResult" has Status "Ok" (any
  // letter case). Raises:
  //   the transport's failure (TCP: "ZoltCALL error \"<text>\""; HTTP: the status line or
  //   curl's message), fDisconnected true;
  //   "invalid or empty Zolt XML response" for a reply without ZoltQueryResult, true;
  //   "Zolt XML error \"<ErrorText>\"" for any other Status, false.
  void CallCashServer(const std::string& request, tXmlDocument& response);

  // POST of the whole buffer (its zero byte included) to ComposeURL(fcZolt) with basic
  // credentials from fcZolt and no Content-Type; a status outside 2xx raises the status line
  // ("HTTP/1.1 500 Internal Server Error"). An empty body leaves `response` empty.
  void CallCashServerHTTP(const std::string& request, tXmlDocument& response);

  // CallXmlTcp to Host:Port with the request text up to its first zero byte and an empty
  // key, with "thrd.call: " debug lines (level 1) and the dumps zoltquery_request.xml and
  // zoltquery_response.xml in the log folder (level 2 and above).
  void CallCashServerTCP(const std::string& request, tXmlDocument& response);
};

// The encoding named by the document's XML declaration; empty without one.
void GetXmlEncoding(const tXmlDocument& doc, std::string& encoding);

}  // namespace q2
