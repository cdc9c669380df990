// TMetaList and tValueList.
#include "cashserver/meta_list.h"

#include <stdexcept>
#include <utility>

namespace q2 {

TMetaList::TMetaList(tMetaDestroy destroy, tMetaCompare compare)
    : fMetaDestroy(std::move(destroy)), fMetaCompare(std::move(compare)) {
  fSupress = true;
}

TMetaList::~TMetaList() { Clear(); }

// The search keeps its historical bounds: a crLess answer sets hi to index - 1 (not index),
// and the final compare after the loop repairs the insertion point. Which of several equal
// items it meets first depends on exactly these steps.
bool TMetaList::FindPosition(const void* item, int32_t& index) const {
  const int32_t count = Count();
  if (count == 0 || !fMetaCompare) {
    index = 0;
    return false;
  }
  int32_t lo = 0;
  int32_t hi = count;
  index = count / 2;
  while (hi - lo > 0) {
    tCompareResult result = crNone;
    fMetaCompare(item, items_[static_cast<size_t>(index)], result);
    if (result == crNone) throw std::runtime_error("tMetaList: crNone returned");
    if (result == crEqual) break;
    if (result == crLess) {
      hi = index - 1;
    } else {
      lo = index + 1;
    }
    index = lo + (hi - lo) / 2;  // (hi - lo) may be -1 here; C++ division truncates to 0
  }
  if (index >= count) return false;
  tCompareResult result = crNone;
  fMetaCompare(item, items_[static_cast<size_t>(index)], result);
  if (result == crEqual) return true;
  if (result == crMore) ++index;
  return false;
}

void* TMetaList::Find(const void* item) const {
  int32_t index = 0;
  if (!FindPosition(item, index)) return nullptr;
  return items_[static_cast<size_t>(index)];
}

bool TMetaList::Append(void* item) {
  int32_t index = 0;
  if (FindPosition(item, index)) {
    if (fSupress) return false;
    ++index;
  }
  Add(item, index);
  return true;
}

int32_t TMetaList::Add(void* item, int32_t position) {
  if (position < 0 || position > Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(position) + ")");
  }
  items_.insert(items_.begin() + position, item);
  return position;
}

void TMetaList::Delete(int32_t index) {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  }
  void* item = items_[static_cast<size_t>(index)];
  items_.erase(items_.begin() + index);
  if (fMetaDestroy) fMetaDestroy(item);
}

void TMetaList::Clear() {
  while (!items_.empty()) {
    void* item = items_.back();
    items_.pop_back();
    if (fMetaDestroy) fMetaDestroy(item);
  }
}

// ---------------------------------------------------------------------------------------

tValueList::tValueList() : TMetaList(&tValueList::DisposeValue, &tValueList::CompareById) {}

void tValueList::CompareById(const void* item, const void* listItem, tCompareResult& result) {
  const int32_t a = static_cast<const tValue*>(item)->Id;
  const int32_t b = static_cast<const tValue*>(listItem)->Id;
  result = a == b ? crEqual : (a > b ? crMore : crLess);
}

void tValueList::DisposeValue(void* item) { delete static_cast<tValue*>(item); }

tValue* tValueList::FindById(int32_t id) const {
  tValue key;
  key.Id = id;
  return static_cast<tValue*>(Find(&key));
}

}  // namespace q2
