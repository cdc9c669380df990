// Inserting bytes in front of a file's content, in place.
#pragma once

#include <cstdint>
#include <string>

#include "platform/files.h"

namespace q2 {

// Inserts `text` at `position` of a file open for reading and writing: the bytes from
// position to the end move up by text.size(), in blocks of at most 1024 bytes, starting with
// the block that ends at the end of the file, so that no byte is overwritten before it has
// moved. Throws std::runtime_error with the system's message on a failed read or write.
void InsertIntoStream(const std::string& text, tFileHandle& file, int64_t position);

}  // namespace q2
