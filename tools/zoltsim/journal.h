// The request journal file: one line per request, appended and flushed at once, so that a
// process reading the file sees every request that has been answered.
//
//   seq TAB transport TAB command TAB document LF
//
// seq is decimal from 1; transport "tcp" or "http"; command the CMD attribute (empty for a
// malformed request); in command and document "\" is written "\\", LF "\n", CR "\r" and
// TAB "\t", so that neither field holds a raw TAB or line break.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "zoltsim/zolt_sim.h"

namespace q2::sim {

std::string EscapeJournalField(const std::string& text);
// The line of an entry, LF included.
std::string FormatJournalLine(const tJournalEntry& entry);

class tJournalFile final {
 public:
  // Opens `path` for appending; throws std::runtime_error naming the file on failure.
  explicit tJournalFile(const std::string& path);
  tJournalFile(const tJournalFile&) = delete;
  tJournalFile& operator=(const tJournalFile&) = delete;
  // Appends and flushes one line; a failed write is reported on stderr once and the
  // simulator goes on serving.
  void Append(const tJournalEntry& entry);

 private:
  struct tCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, tCloser> file_;
  std::string path_;
  bool failed_ = false;
};

}  // namespace q2::sim
