// TMetaList: a list of untyped item pointers kept sorted by a compare callback, with its own
// binary search (which of several equal items it finds is part of its behaviour) and a
// release callback that disposes of items leaving the list. The reference lists (tValue
// entries) and the order map index are built on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace q2 {

enum tCompareResult : uint8_t { crNone = 0, crEqual = 1, crLess = 2, crMore = 3 };

// Called with (item, list item); sets the result, which starts as crNone. crLess: the item
// sorts before the list item; crMore: after it.
using tMetaCompare =
    std::function<void(const void* item, const void* listItem, tCompareResult& result)>;
using tMetaDestroy = std::function<void(void* item)>;

class TMetaList {
 public:
  TMetaList(tMetaDestroy destroy, tMetaCompare compare);
  virtual ~TMetaList();  // clears through the destroy callback
  TMetaList(const TMetaList&) = delete;
  TMetaList& operator=(const TMetaList&) = delete;

  // True with the index of an equal item, or false with the insertion index. Throws
  // "tMetaList: crNone returned" when the callback leaves crNone.
  bool FindPosition(const void* item, int32_t& index) const;
  void* Find(const void* item) const;
  // Ordered insert; false (nothing inserted) when an equal item exists and fSupress is set.
  bool Append(void* item);
  // Insert at `position` without any order check; returns the position.
  int32_t Add(void* item, int32_t position);
  void Delete(int32_t index);  // through the destroy callback
  void Clear();                // every item through the destroy callback
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  void* Get(int32_t index) const { return items_.at(static_cast<size_t>(index)); }

  bool fSupress = true;

 protected:
  tMetaDestroy fMetaDestroy;
  tMetaCompare fMetaCompare;
  std::vector<void*> items_;
};

// One reference entry (classes, dishes, modifiers, employees).
struct tValue {
  int32_t Id = 0;
  int32_t Code = 0;
  std::string Name;
  const tValue* Link = nullptr;
};

// A TMetaList of tValue entries ordered by ascending Id, owning its entries.
class tValueList final : public TMetaList {
 public:
  tValueList();
  // Compares the Ids of two tValue entries as signed 32-bit numbers.
  static void CompareById(const void* item, const void* listItem, tCompareResult& result);
  // Frees a tValue allocated with new.
  static void DisposeValue(void* item);
  // Finds the entry with this Id, or nullptr.
  tValue* FindById(int32_t id) const;
  tValue* At(int32_t index) const { return static_cast<tValue*>(Get(index)); }
};

}  // namespace q2
