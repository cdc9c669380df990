// The request journal file.
#include "zoltsim/journal.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace q2::sim {

std::string EscapeJournalField(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string FormatJournalLine(const tJournalEntry& entry) {
  return std::to_string(entry.seq) + "\t" + entry.transport + "\t" +
         EscapeJournalField(entry.command) + "\t" + EscapeJournalField(entry.document) + "\n";
}

tJournalFile::tJournalFile(const std::string& path)
    : file_(std::fopen(path.c_str(), "ab")), path_(path) {
  if (!file_) {
    throw std::runtime_error("cannot open the journal file \"" + path +
                             "\": " + std::strerror(errno));
  }
}

void tJournalFile::Append(const tJournalEntry& entry) {
  const std::string line = FormatJournalLine(entry);
  const bool ok = std::fwrite(line.data(), 1, line.size(), file_.get()) == line.size() &&
                  std::fflush(file_.get()) == 0;
  if (!ok && !failed_) {
    failed_ = true;
    std::fprintf(stderr, "zoltsim: writing the journal file \"%s\" failed: %s\n", path_.c_str(),
                 std::strerror(errno));
  }
}

}  // namespace q2::sim
