// Instant pickup: a watcher that sets the worker's wake-up event as soon as a file is
// finished in one of the watched folders, so that the worker need not wait for its timer.
// A file counts as finished when it is closed after being opened for writing or when it is
// moved (renamed) into the folder; a file that is only created, read, deleted or moved out
// does not count, so neither a file still being written nor the worker's own moves wake it.
// When the kernel drops notifications (queue overflow) the event is set as well, since a
// finished file may be among them.
//
// The watcher only ever sets the event; it never resets it and never touches the files.
// Notifications are not recursive and are missed on network file systems, so the timer
// stays the fallback that guarantees pickup.
//
// Created and destroyed by the thread that owns the worker; the event must outlive the
// watcher.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace q2 {

class tFolderWatcher {
 public:
  virtual ~tFolderWatcher() = default;
  tFolderWatcher(const tFolderWatcher&) = delete;
  tFolderWatcher& operator=(const tFolderWatcher&) = delete;

  // Starts watching `folders` (paths with or without a trailing "/"; the same folder may be
  // given twice) on a thread of the watcher's own, which waits on the kernel without a
  // timeout and sets `*wakeUp` on every batch of notifications that holds a finished file.
  // Throws std::runtime_error when a folder cannot be watched (missing, not a folder, no
  // access, the system's limit on watches reached):
  //   "can't watch folder \"" + folder + "\": " + the system's message
  // or when the watcher cannot be set up at all: "can't watch folders: " + message.
  // Destruction stops the thread and returns within milliseconds.
  static std::unique_ptr<tFolderWatcher> Create(const std::vector<std::string>& folders,
                                                tEvent* wakeUp);

 protected:
  tFolderWatcher() = default;
};

}  // namespace q2
