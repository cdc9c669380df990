// FTP folders as sources of order and command files: every file of a remote folder is
// downloaded into a local folder and then deleted on the server. Log lines carry the
// prefix "thrd.ftp : ". Called by the worker thread once per iteration, before it lists
// the local folders.
#pragma once

#include <string>

#include "core/con_settings.h"

namespace q2 {

inline constexpr long kFTPConnectTimeoutMs = 30'000;
// A reply, or a transfer that moves no byte, stalled this long fails the poll.
inline constexpr long kFTPStallTimeoutS = 60;
// A longer listing is refused rather than held in memory.
inline constexpr size_t kFTPMaxListingBytes = 16u << 20;

// Logs "thrd.ftp : listing " + ComposeURL(endpoint, false, true), logs in to Host:Port (21
// when Port is 0) as Login/Password (anonymous when Login is empty), changes to Route as it
// stands (no change when Route is empty: the log-in folder) and lists it. Each entry of kind
// file, in listing order, is logged as "thrd.ftp : found item NAME", downloaded in binary to
// localFolder + NAME and deleted on the server; directories and other kinds are left alone.
// A name that is not a plain file name ("." or "..", with "/", "\" or a control character)
// is skipped with a warning. A download goes to a hidden temporary file in localFolder and
// is renamed into place when complete; an existing local file of the name is never
// replaced: the download fails and the remote file stays.
// Returns true when at least one file was fetched. Throws std::runtime_error with the FTP
// client's message on any failure, after the connection is closed; files fetched before it
// stay fetched (and deleted remotely). `localFolder` must name an existing folder; a
// missing trailing "/" is supplied.
bool FetchFTPFolder(const tConSettings& endpoint, const std::string& localFolder);

// Fetches the order folder fcFTPO into orderDir when configured (Host not empty); only when
// that fetched nothing, the command folder fcFTPC into cmdDir. So orders always arrive
// before the commands that refer to them. Returns true when a file was fetched. Throws as
// FetchFTPFolder. With neither endpoint configured nothing happens and nothing is logged.
bool PollFTP(const tConSettings& fcFTPO, const std::string& orderDir, const tConSettings& fcFTPC,
             const std::string& cmdDir);

}  // namespace q2
