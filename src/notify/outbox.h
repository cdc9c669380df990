// The outbox of the status posts: with PostRetry = N > 0 a post that does not arrive (no
// connection, a timeout, a reply status of 400 and up) is kept as one small file in the outbox
// folder and tried again at the start of later iterations, up to N more times; then it is
// moved to the dead-letter folder. With PostRetry = 0 every post is one HttpSend, exactly as
// without an outbox, and nothing touches the disk.
//
// Posts for one endpoint (one composed URL) arrive in the order they were made: while older
// posts for an endpoint wait in the outbox, a new one is queued behind them untried, and a
// retry round stops at the first failure of an endpoint. Endpoints do not hold each other up.
//
// Delivery is at least once: a crash between a post's arrival and the removal of its file
// sends it again after the restart. A crash never loses a kept post or leaves half of one.
//
// Owned and called by the worker thread only; not safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/con_settings.h"
#include "notify/status.h"

namespace q2 {

// The outbox and dead-letter folders beside a log folder: for "/x/LOGS/" they are
// "/x/outbox/" and "/x/outbox_dead/". Both end in "/".
struct tOutboxFolders {
  std::string Outbox, Dead;
};
tOutboxFolders OutboxFoldersBeside(const std::string& logFolder);

// One kept post as its file holds it. File layout (bytes; LF ends every line; LEN is the
// decimal byte count of the field's value, which may hold any byte, LF included):
//   Q2POST 1
//   tries COUNT              tries made so far (0: queued, never tried)
//   protocol LEN VALUE       the endpoint's Protocol, as configured
//   url LEN VALUE            ComposeURL(endpoint, false, false): credentials and parameters
//   body LEN VALUE           the post's body, UTF-8
// The file is named STAMP-SEQ.post, STAMP the UTC time of its making as YYYYMMDD-HHMMSS-mmm
// and SEQ a six-digit sequence number, so that names sort in the order the posts were made,
// also across restarts.
struct tKeptPost {
  std::string Name;  // file name in the outbox folder
  int32_t Tries = 0;
  std::string Protocol, URL, Body;
};
// Throws std::runtime_error when `bytes` is not a kept post's file.
tKeptPost ParseKeptPost(const std::string& bytes);
std::string FormatKeptPost(const tKeptPost& post);

class tPostOutbox final {
 public:
  // `retries` is PostRetry (negative counts as 0). With retries > 0 both folders are created
  // when missing, the leftovers of an interrupted write are removed, and the posts kept by an
  // earlier run are taken up, oldest first; a file in the outbox that is not a kept post is
  // moved to the dead-letter folder with a log line. Never throws: disk failures are logged
  // ("thrd.sndn: ...") and leave the posts concerned as they were.
  tPostOutbox(std::string outboxFolder, std::string deadFolder, int retries, tHttpOptions options);
  tPostOutbox(const tPostOutbox&) = delete;
  tPostOutbox& operator=(const tPostOutbox&) = delete;

  // Posts `body` to the endpoint; nothing when endpoint.Host is empty. With retries: when
  // posts for the same endpoint wait in the outbox, the new one is kept behind them without
  // being tried; otherwise it is sent now and kept when it does not arrive. Never throws.
  void Send(const std::string& body, const tConSettings& endpoint);
  // Send(StatusBody(eq, orderId, status), endpoint).
  void SendStatus(const std::string& eq, const std::string& orderId, const tConSettings& endpoint,
                  const std::string& status);

  // One retry round, for the start of an iteration: every kept post, oldest first, is tried
  // once more; one that arrives is removed, one that fails for the retries-th time is moved to
  // the dead-letter folder. After a failure, the later posts for that endpoint wait for the
  // next round untried. Nothing with retries = 0. Never throws.
  void RetryPending();

  // Posts waiting in the outbox.
  size_t Pending() const { return posts_.size(); }
  int Retries() const { return retries_; }

 private:
  void LoadKept();
  // Writes `post` under a new name; false (logged) when it cannot be kept.
  bool Keep(tKeptPost& post);
  void Rewrite(const tKeptPost& post);
  void GiveUp(const tKeptPost& post);
  std::string NextName();
  size_t WaitingFor(const std::string& url) const;

  std::string outbox_, dead_;
  int retries_;
  tHttpOptions options_;
  std::vector<tKeptPost> posts_;  // sorted by name: oldest first
  std::string lastStamp_;         // of the newest name made or found
  int lastSeq_ = -1;
};

}  // namespace q2
