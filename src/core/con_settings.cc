#include "core/con_settings.h"

#include "core/convert.h"

namespace q2 {

void SplitURL(const std::string& s, tConSettings& rec, const std::string& defaultProtocol) {
  size_t start = 0;
  size_t scheme = s.find("://");
  if (scheme != std::string::npos) {
    rec.Protocol = UpperCaseAscii(s.substr(0, scheme));
    start = scheme + 3;
  } else {
    rec.Protocol = defaultProtocol;
  }
  size_t end = s.size();
  size_t query = s.find('?');
  if (query != std::string::npos) {
    end = query;
    rec.Params = s.substr(query + 1);
  }
  // The route starts at the first "/" of the authority part; a "/" inside the query is
  // part of the query.
  size_t slash = s.find('/', start);
  if (slash != std::string::npos && slash < end) {
    rec.Route = s.substr(slash, end - slash);
    end = slash;
  }
  if (start < end) {
    size_t at = s.rfind('@', end - 1);
    if (at != std::string::npos && at >= start) {
      std::string credentials = s.substr(start, at - start);
      size_t colon = credentials.find(':');
      if (colon != std::string::npos) {
        rec.Login = credentials.substr(0, colon);
        rec.Password = credentials.substr(colon + 1);
      } else {
        rec.Login = credentials;
        rec.Password.clear();
      }
      start = at + 1;
    }
  }
  size_t colon = s.find(':', start);
  if (colon != std::string::npos && colon < end) {
    rec.Host = s.substr(start, colon - start);
    std::string port = s.substr(colon + 1, end - colon - 1);
    rec.Port = port.empty() ? 0 : StrToInt(port);
  } else {
    rec.Host = start < end ? s.substr(start, end - start) : std::string();
    rec.Port = 0;
  }
}

std::string ComposeURL(const tConSettings& rec, bool omitParams, bool omitCredentials) {
  std::string url = rec.Protocol + "://";
  if (!omitCredentials && !rec.Login.empty()) {
    url += rec.Password.empty() ? rec.Login + "@" : rec.Login + ":" + rec.Password + "@";
  }
  url += rec.Host;
  if (rec.Port != 0) url += ":" + std::to_string(rec.Port);
  url += rec.Route;
  if (!omitParams && !rec.Params.empty()) url += "?" + rec.Params;
  return url;
}

}  // namespace q2
