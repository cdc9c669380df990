// Carries settings over from the files of earlier installations into "Quillon2.INI":
// receipt layouts from "ZoltPrintCheck.ini" whenever the current file lacks them, and the
// whole set from "Quillon.INI" when the current file did not exist yet. The older files are
// only read. Called once at every program start, before the log settings are read.
#pragma once

#include <string>

namespace q2 {

// Throws "Unable to write to <file>" when the current file cannot be written.
void MigrateSettings();

// The old-style value reader of "Quillon.INI": the text after the first "=" of the first
// line whose part before the "=" equals the key ignoring case; nothing trimmed, sections
// ignored. Empty when absent.
std::string ReadOldValue(const std::string& content, const std::string& key);

}  // namespace q2
