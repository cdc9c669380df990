// The order map: which cash-server order (guid) belongs to which front-end order number,
// kept in a small binary file beside the program with an in-memory index sorted by order
// number. Owned and used by the worker thread only.
//
// File layout: no header, a sequence of 29-byte little-endian records
//   offset 0  size 1  flag: 1 = deleted, anything else = live (written as 0)
//   offset 1  size 8  Created, IEEE double day count (local time)
//   offset 9  size 4  GUID.D1
//   offset 13 size 2  GUID.D2
//   offset 15 size 2  GUID.D3
//   offset 17 size 8  GUID.D4, in order
//   offset 25 size 4  OrderId, signed
// The index holds the offset of each live record's flag byte; every comparison reads the
// record from the file. The file is held under an exclusive advisory lock for the life of
// the object, and every change is written and flushed to the disk before it is reported.
#pragma once

#include <cstdint>
#include <string>

#include "cashserver/meta_list.h"
#include "platform/files.h"

namespace q2 {

struct tGUID {
  uint32_t D1 = 0;
  uint16_t D2 = 0, D3 = 0;
  uint8_t D4[8] = {};
};

bool operator==(const tGUID& a, const tGUID& b);

// Registry form: braces around 32 upper-case hexadecimal digits grouped 8-4-4-4-12.
std::string GUIDToString(const tGUID& guid);
// Accepts the registry form with digits of either case; throws
// "''<text>'' is not a valid GUID value" for anything else.
tGUID StringToGUID(const std::string& text);

struct tMapValue {
  double Created = 0;  // local day count
  tGUID GUID;
  int32_t OrderId = 0;
};

inline constexpr int64_t kMapRecordSizeBytes = 29;
inline constexpr int64_t kMapValueSizeBytes = 28;
// Records made this many whole days ago or earlier are dropped when the file is opened.
inline constexpr int kMapKeepDays = 8;

class tMapList final : public TMetaList {
 public:
  // Opens (creating when missing) and locks the file, compacts it and builds the index.
  // Throws when the file cannot be opened, when another holder (this or another process)
  // has it, when it cannot be read or written, and "map OrderId = 0" when a live record
  // with order id 0 is compared while indexing.
  explicit tMapList(const std::string& fileName);
  ~tMapList() override;

  // Found: `out` is the record's value. Not found: out.OrderId := 0, the rest untouched.
  void Find(int32_t orderId, tMapValue& out);
  // Records guidText (registry form) for orderId with Created = now. A new order id gets
  // a new record at the end of the file (true); a known one has its record rewritten in
  // place (false). Throws on a malformed guid text or order id 0 (nothing is written), and
  // when the file cannot be written.
  bool Append(const std::string& guidText, int32_t orderId);
  // Marks the record of orderId deleted and drops it from the index; nothing when absent.
  void Remove(int32_t orderId);
  // The value of the index-th entry in ascending order id; throws std::out_of_range.
  void GetIdxValue(int32_t index, tMapValue& out);

  const std::string& FileName() const { return fileName_; }

 private:
  void CompactMapFile();
  void LoadIndex();
  void CompareOrderId(const void* key, const void* listItem, tCompareResult& result);
  tMapValue ReadValue(int64_t flagOffset);
  void WriteBytes(int64_t offset, const void* data, size_t count);
  [[noreturn]] void Fail(const std::string& what);

  std::string fileName_;
  tFileHandle fStream;
  int64_t end_ = 0;  // end of the last complete record
};

}  // namespace q2
