// Remote endpoints, as split from the URL texts of the settings.
#pragma once

#include <cstdint>
#include <string>

namespace q2 {

struct tConSettings {
  std::string Login, Password, Protocol, Host, Route, Params;
  int32_t Port = 0;  // 0 when the URL names none
};

// Fills `rec` from `url`: "[PROTOCOL://][LOGIN[:PASSWORD]@]HOST[:PORT][/ROUTE][?PARAMS]".
// Protocol, Host and Port are always set; Params, Route, Login and Password only when the
// URL has them. A port that is not a decimal number throws
// "''<port>'' is not a valid integer value".
void SplitURL(const std::string& url, tConSettings& rec, const std::string& defaultProtocol);

std::string ComposeURL(const tConSettings& rec, bool omitParams, bool omitCredentials);

}  // namespace q2
