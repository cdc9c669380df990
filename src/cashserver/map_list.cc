// The order map file and its index.
#include "cashserver/map_list.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/datetime.h"

namespace q2 {
namespace {

constexpr uint8_t kFlagLive = 0;
constexpr uint8_t kFlagDeleted = 1;
constexpr size_t kRecordBytes = static_cast<size_t>(kMapRecordSizeBytes);
constexpr size_t kValueBytes = static_cast<size_t>(kMapValueSizeBytes);

void PutLE(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLE(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

// The 28 value bytes of a record (record offsets 1..28).
void EncodeValue(const tMapValue& v, uint8_t* out) {
  uint64_t bits = 0;
  std::memcpy(&bits, &v.Created, sizeof bits);
  PutLE(out + 0, bits, 8);
  PutLE(out + 8, v.GUID.D1, 4);
  PutLE(out + 12, v.GUID.D2, 2);
  PutLE(out + 14, v.GUID.D3, 2);
  std::memcpy(out + 16, v.GUID.D4, 8);
  PutLE(out + 24, static_cast<uint32_t>(v.OrderId), 4);
}

tMapValue DecodeValue(const uint8_t* in) {
  tMapValue v;
  uint64_t bits = GetLE(in + 0, 8);
  std::memcpy(&v.Created, &bits, sizeof bits);
  v.GUID.D1 = static_cast<uint32_t>(GetLE(in + 8, 4));
  v.GUID.D2 = static_cast<uint16_t>(GetLE(in + 12, 2));
  v.GUID.D3 = static_cast<uint16_t>(GetLE(in + 14, 2));
  std::memcpy(v.GUID.D4, in + 16, 8);
  v.OrderId = static_cast<int32_t>(static_cast<uint32_t>(GetLE(in + 24, 4)));
  return v;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void DisposeOffset(void* item) { delete static_cast<int64_t*>(item); }

}  // namespace

bool operator==(const tGUID& a, const tGUID& b) {
  return a.D1 == b.D1 && a.D2 == b.D2 && a.D3 == b.D3 && std::memcmp(a.D4, b.D4, 8) == 0;
}

std::string GUIDToString(const tGUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.D1), static_cast<unsigned>(g.D2),
                static_cast<unsigned>(g.D3), g.D4[0], g.D4[1], g.D4[2], g.D4[3], g.D4[4], g.D4[5],
                g.D4[6], g.D4[7]);
  return buf;
}

tGUID StringToGUID(const std::string& text) {
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters.
  auto fail = [&]() -> tGUID {
    throw std::runtime_error("''" + text + "'' is not a valid GUID value");
  };
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-') {
    return fail();
  }
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t pos = 1; pos < 37; pos += 2) {
    if (pos == 9 || pos == 14 || pos == 19 || pos == 24) ++pos;
    int hi = HexDigit(text[pos]);
    int lo = HexDigit(text[pos + 1]);
    if (hi < 0 || lo < 0) return fail();
    bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
  }
  tGUID g;
  g.D1 = static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
  g.D2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
  g.D3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
  std::memcpy(g.D4, bytes + 8, 8);
  return g;
}

// ---------------------------------------------------------------------------------------

tMapList::tMapList(const std::string& fileName)
    : TMetaList(&DisposeOffset,
                [this](const void* key, const void* listItem, tCompareResult& result) {
                  CompareOrderId(key, listItem, result);
                }),
      fileName_(fileName) {
  fSupress = true;
  if (!fStream.Open(fileName_, tFileHandle::tOpen::ReadWriteCreate)) {
    throw std::runtime_error("can't open map file " + fileName_ + ": " + LastErrorText());
  }
  // A second holder would index the same records and write behind our back.
  if (!fStream.LockExclusive(0)) {
    throw std::runtime_error("map file " + fileName_ +
                             " is in use by another holder: " + LastErrorText());
  }
  CompactMapFile();
  LoadIndex();
}

tMapList::~tMapList() {
  Clear();
  fStream.Close();
}

void tMapList::Fail(const std::string& what) {
  throw std::runtime_error("map file " + fileName_ + ": " + what + ": " + LastErrorText());
}

void tMapList::WriteBytes(int64_t offset, const void* data, size_t count) {
  if (!fStream.WriteAt(offset, data, count)) Fail("write failed");
  // The change must be on the disk before it is reported as done.
  if (!fStream.Sync()) Fail("flush failed");
}

tMapValue tMapList::ReadValue(int64_t flagOffset) {
  uint8_t buf[kValueBytes];
  size_t got = 0;
  if (!fStream.ReadAt(flagOffset + 1, buf, kValueBytes, &got)) Fail("read failed");
  if (got != kValueBytes) {
    throw std::runtime_error("map file " + fileName_ + ": record at " + std::to_string(flagOffset) +
                             " is cut short");
  }
  return DecodeValue(buf);
}

void tMapList::CompareOrderId(const void* key, const void* listItem, tCompareResult& result) {
  const int32_t keyId = static_cast<const tMapValue*>(key)->OrderId;
  const tMapValue listValue = ReadValue(*static_cast<const int64_t*>(listItem));
  if (listValue.OrderId == 0) throw std::runtime_error("map OrderId = 0");
  if (listValue.OrderId < keyId) {
    result = crMore;
  } else if (listValue.OrderId > keyId) {
    result = crLess;
  } else {
    result = crEqual;
  }
}

// One pass, in place: live records made less than kMapKeepDays whole days ago move forward
// over dropped ones; the file is cut after the last kept record. A record cut short at the
// end (an interrupted append) is dropped with the cut.
void tMapList::CompactMapFile() {
  int64_t size = 0;
  if (!fStream.Size(&size)) Fail("size unknown");
  const double now = Now();
  int64_t writePos = 0;
  int64_t readPos = 0;
  int64_t pos = 0;
  uint8_t record[kRecordBytes];
  while (pos + kMapRecordSizeBytes <= size) {
    size_t got = 0;
    if (!fStream.ReadAt(pos, record, kRecordBytes, &got)) Fail("read failed");
    if (got != kRecordBytes) break;
    pos += kMapRecordSizeBytes;
    const tMapValue value = DecodeValue(record + 1);
    const bool drop =
        record[0] == kFlagDeleted || std::floor(std::fabs(now - value.Created)) >= kMapKeepDays;
    if (drop) {
      readPos = pos;
    } else if (writePos == readPos) {
      writePos = readPos = pos;
    } else {
      readPos = pos;
      if (!fStream.WriteAt(writePos, record, kRecordBytes)) Fail("write failed");
      writePos += kMapRecordSizeBytes;
    }
  }
  if (writePos != size) {
    if (!fStream.Truncate(writePos)) Fail("truncate failed");
    if (!fStream.Sync()) Fail("flush failed");
  }
  end_ = writePos;
}

void tMapList::LoadIndex() {
  Clear();
  int64_t pos = 0;
  while (pos + kMapRecordSizeBytes <= end_) {
    uint8_t flag = 0;
    size_t got = 0;
    if (!fStream.ReadAt(pos, &flag, 1, &got)) Fail("read failed");
    if (got != 1) break;
    if (flag != kFlagDeleted) {
      const tMapValue value = ReadValue(pos);
      int32_t index = 0;
      FindPosition(&value, index);  // an equal entry does not stop the insert
      auto cell = std::make_unique<int64_t>(pos);
      Add(cell.get(), index);
      cell.release();
    }
    pos += kMapRecordSizeBytes;
  }
}

void tMapList::Find(int32_t orderId, tMapValue& out) {
  tMapValue key;
  key.OrderId = orderId;
  int32_t index = 0;
  if (FindPosition(&key, index)) {
    out = ReadValue(*static_cast<int64_t*>(Get(index)));
  } else {
    out.OrderId = 0;
  }
}

bool tMapList::Append(const std::string& guidText, int32_t orderId) {
  tMapValue value;
  value.GUID = StringToGUID(guidText);
  // A live record with order id 0 would break every later search, also at the next open.
  if (orderId == 0) throw std::runtime_error("map OrderId = 0");
  value.OrderId = orderId;
  value.Created = Now();
  uint8_t record[kRecordBytes];
  record[0] = kFlagLive;
  EncodeValue(value, record + 1);

  int32_t index = 0;
  if (FindPosition(&value, index)) {
    const int64_t offset = *static_cast<int64_t*>(Get(index));
    WriteBytes(offset + 1, record + 1, kValueBytes);
    return false;
  }
  auto cell = std::make_unique<int64_t>(end_);
  if (!fStream.WriteAt(end_, record, kRecordBytes) || !fStream.Sync()) {
    const std::string error = LastErrorText();
    fStream.Truncate(end_);  // leave no part of the record behind
    throw std::runtime_error("map file " + fileName_ + ": write failed: " + error);
  }
  end_ += kMapRecordSizeBytes;
  Add(cell.get(), index);
  cell.release();
  return true;
}

void tMapList::Remove(int32_t orderId) {
  tMapValue key;
  key.OrderId = orderId;
  int32_t index = 0;
  if (!FindPosition(&key, index)) return;
  const int64_t offset = *static_cast<int64_t*>(Get(index));
  WriteBytes(offset, &kFlagDeleted, 1);
  Delete(index);
}

void tMapList::GetIdxValue(int32_t index, tMapValue& out) {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  out = ReadValue(*static_cast<int64_t*>(Get(index)));
}

}  // namespace q2
