// The daily log, the one-line result file and the small file routines every subsystem
// uses. Log lines are UTF-16LE, CR LF terminated, in log folder + "QUILLON2_YYYY-MM-DD.LOG";
// the result file is log folder + "QUILLON2_RESULT.TXT" in the ANSI code page. Both are
// written under one process-wide lock; each log line also takes an exclusive advisory lock
// on the file, so that two processes can share one log.
// Callable from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace q2 {

enum : uint8_t { kLogNote = 0, kLogWarning = 1, kLogError = 2, kLogDebug = 3 };

// Writes one line when the configured log level is at least minLevel. `text` is UTF-8.
// Throws std::runtime_error ("Cannot open file \"%s\". %s" / "Cannot create file ...")
// when the log file cannot be opened or created.
void WriteLog(const std::string& text, uint8_t kind, uint8_t minLevel);

// What a log or result file that cannot be written does. kThrow (the default): WriteLog and
// WriteResult throw, as their callers expect in tests and tools. kReport (the service): they
// do not throw; the first failure is said on the standard error (which the service manager
// keeps) and so is the recovery, so that a full disk can never stop the order work.
enum class tLogFailureMode { kThrow, kReport };
void SetLogFailureMode(tLogFailureMode mode);

// WriteLog for failure handlers and the loop's own lines: a log that cannot be written (a
// full disk) must not turn the report of one failure into another that ends the worker.
// Returns false when the line could not be written.
bool TryWriteLog(const std::string& text, uint8_t kind, uint8_t minLevel);

// Rewrites the result file: "OK", "ERROR " + reason, or "ERROR" for an empty reason.
void WriteResult(bool ok, const std::string& reason = std::string());

// Creates or replaces `path` and writes `data`; with utf8 the bytes EF BB BF come first.
// Throws std::runtime_error with the system's message when the file cannot be created.
void WriteTextFile(const std::string& data, bool utf8, const std::string& path);

// Makes sure a folder and its missing parents exist. False only for an empty path; folders
// that cannot be created are not reported (the next file operation in them fails).
bool ForceFolders(const std::string& path);

// Sets the log folder and level from the settings file (keys LogDir and LogLevel of
// section Settings). Called once at start-up, after the settings migration.
void ReadLogSettings();

// The log settings in effect. The folder always ends in "/"; initially program folder + "LOGS/".
uint8_t LogLevel();
std::string LogFolder();
void SetLogSettings(const std::string& folder, uint8_t level);

// Appends "/" when missing.
std::string IncludeTrailingDelimiter(const std::string& path);

// The name of today's log file (full path).
std::string LogFileName();
std::string ResultFileName();

}  // namespace q2
