// Parsing of FTP directory listings (MLSD facts, or LIST lines in the Unix and DOS forms)
// into entries with a name and a kind, and the check that a remote name is safe to use as
// a local file name. Pure functions; callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace q2 {

enum class tFTPEntryKind { ekFile, ekDirectory, ekOther };

struct tFTPEntry {
  std::string Name;
  tFTPEntryKind Kind = tFTPEntryKind::ekOther;
};

// One MLSD line: "fact=value;fact=value; name" (fact names and values without regard to
// case). type=file is a file; dir, cdir and pdir are directories; anything else, or a line
// without a type fact, is other. False for a line without the space before the name.
bool ParseMLSDLine(const std::string& line, tFTPEntry& entry);

// One LIST line. Unix form: "-rw-r--r-- 1 owner group size month day time|year name"
// ("-" file, "d" directory, anything else other; the name is everything after the eighth
// field and its blanks). DOS form: "MM-DD-YY hh:mmAM <DIR>|size name". False for lines of
// neither form, such as "total 12".
bool ParseLISTLine(const std::string& line, tFTPEntry& entry);

// Splits a listing at line ends (CR LF or LF) and parses each line with the parser for
// `mlsd`; lines that do not parse are left out. Order is kept.
std::vector<tFTPEntry> ParseFTPListing(const std::string& listing, bool mlsd);

// False for a name that could leave the local folder or cannot be a single file name:
// empty, ".", "..", containing "/" or "\", or containing a control character (below 0x20,
// or 0x7F), which the FTP command line could not carry either.
bool IsSafeFTPName(const std::string& name);

}  // namespace q2
