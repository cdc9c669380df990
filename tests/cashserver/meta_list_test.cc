// TMetaList's search, ordered insert and release, and tValueList.
#include "cashserver/meta_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace q2 {
namespace {

struct tEntry {
  int key;
  char tag;
};

// A list of tEntry pointers owned by the test; counts compares and releases.
struct tCountingList {
  int compares = 0;
  std::vector<char> destroyed;
  TMetaList list{[this](void* p) { destroyed.push_back(static_cast<tEntry*>(p)->tag); },
                 [this](const void* a, const void* b, tCompareResult& r) {
                   ++compares;
                   int x = static_cast<const tEntry*>(a)->key;
                   int y = static_cast<const tEntry*>(b)->key;
                   r = x == y ? crEqual : (x < y ? crLess : crMore);
                 }};
};

TEST(TMetaList, EmptyListSearchesWithoutComparing) {
  tCountingList l;
  tEntry e{1, 'a'};
  int32_t index = 7;
  EXPECT_FALSE(l.list.FindPosition(&e, index));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(l.compares, 0);
  EXPECT_EQ(l.list.Find(&e), nullptr);
}

TEST(TMetaList, ListWithoutCompareCannotSearch) {
  TMetaList list(nullptr, nullptr);
  tEntry a{1, 'a'};
  list.Add(&a, 0);
  int32_t index = 5;
  EXPECT_FALSE(list.FindPosition(&a, index));
  EXPECT_EQ(index, 0);
}

// For distinct keys the search gives the true position or insertion point at every size.
TEST(TMetaList, FindPositionMatchesTheSortedOrderForDistinctKeys) {
  for (int n = 0; n <= 33; ++n) {
    std::vector<tEntry> entries;
    for (int i = 0; i < n; ++i) entries.push_back({2 * i + 2, 'x'});
    tCountingList l;
    TMetaList& list = l.list;
    for (int i = 0; i < n; ++i) list.Add(&entries[static_cast<size_t>(i)], i);
    for (int key = 0; key <= 2 * n + 3; ++key) {
      tEntry probe{key, '?'};
      int32_t index = -1;
      bool found = list.FindPosition(&probe, index);
      EXPECT_EQ(found, key % 2 == 0 && key >= 2 && key <= 2 * n) << n << " " << key;
      EXPECT_EQ(index, std::clamp((key - 1) / 2, 0, n)) << n << " " << key;
    }
  }
}

TEST(TMetaList, AppendKeepsOrderAndRefusesEqualItemsWhileSuppressing) {
  tCountingList l;
  tEntry e[] = {{30, 'a'}, {10, 'b'}, {20, 'c'}, {40, 'd'}, {20, 'e'}};
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(l.list.Append(&e[i]));
  EXPECT_FALSE(l.list.Append(&e[4]));
  std::string tags;
  for (int32_t i = 0; i < l.list.Count(); ++i) tags += static_cast<tEntry*>(l.list.Get(i))->tag;
  EXPECT_EQ(tags, "bcad");
  EXPECT_EQ(l.list.Find(&e[4]), &e[2]);
  EXPECT_TRUE(l.destroyed.empty());  // a refused item is not the list's
}

// Among equal items the search stops at the first one it meets, which follows from its
// exact steps: with [1,1,1] it probes the middle item (count div 2) first; with [0,0,1,1]
// the first probe (index 2) sets hi to 1, so the next probe is index 0 (it would be 1 with
// hi := index). A non-suppressing Append inserts right after the item found.
TEST(TMetaList, EqualItemsWithoutSuppression) {
  const struct {
    std::vector<int> keys;
    int probe;
    int32_t index;
    const char* afterAppend;
  } cases[] = {
      {{1, 1, 1}, 1, 1, "abxc"},
      {{0, 0, 1, 1}, 0, 0, "axbcd"},
      {{0, 0, 1, 1}, 1, 2, "abcxd"},
  };
  for (const auto& c : cases) {
    tCountingList l;
    l.list.fSupress = false;
    std::vector<tEntry> entries;
    for (size_t i = 0; i < c.keys.size(); ++i) {
      entries.push_back({c.keys[i], static_cast<char>('a' + i)});
    }
    for (size_t i = 0; i < entries.size(); ++i) {
      l.list.Add(&entries[i], static_cast<int32_t>(i));
    }
    tEntry probe{c.probe, 'x'};
    int32_t index = -1;
    EXPECT_TRUE(l.list.FindPosition(&probe, index));
    EXPECT_EQ(index, c.index) << c.probe;
    EXPECT_TRUE(l.list.Append(&probe));
    std::string tags;
    for (int32_t i = 0; i < l.list.Count(); ++i) {
      tags += static_cast<tEntry*>(l.list.Get(i))->tag;
    }
    EXPECT_EQ(tags, c.afterAppend);
    l.list.Clear();  // before the entries go
  }
}

TEST(TMetaList, CompareLeavingNoneFails) {
  TMetaList list(nullptr, [](const void*, const void*, tCompareResult&) {});
  tEntry a{1, 'a'};
  list.Add(&a, 0);
  int32_t index = 0;
  try {
    list.FindPosition(&a, index);
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "tMetaList: crNone returned");
  }
}

TEST(TMetaList, DeleteClearAndDestructionRelease) {
  std::vector<char> destroyed;
  tEntry e[] = {{1, 'a'}, {2, 'b'}, {3, 'c'}, {4, 'd'}};
  {
    TMetaList list([&](void* p) { destroyed.push_back(static_cast<tEntry*>(p)->tag); },
                   [](const void* a, const void* b, tCompareResult& r) {
                     int x = static_cast<const tEntry*>(a)->key;
                     int y = static_cast<const tEntry*>(b)->key;
                     r = x == y ? crEqual : (x < y ? crLess : crMore);
                   });
    for (tEntry& x : e) list.Append(&x);
    list.Delete(1);
    EXPECT_EQ(destroyed, std::vector<char>{'b'});
    EXPECT_EQ(list.Add(&e[1], 3), 3);  // no order check
    EXPECT_EQ(static_cast<tEntry*>(list.Get(3))->tag, 'b');
    EXPECT_THROW(list.Add(&e[1], 5), std::out_of_range);
    EXPECT_THROW(list.Delete(4), std::out_of_range);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(destroyed.size(), 5u);
    list.Append(&e[0]);
  }
  EXPECT_EQ(destroyed.size(), 6u);  // destruction releases what is left
  EXPECT_EQ(destroyed.back(), 'a');
}

TEST(TValueList, OrdersByIdOwnsEntriesAndRefusesDuplicates) {
  tValueList list;
  for (int32_t id : {5, -3, 12, 0}) {
    auto* v = new tValue;
    v->Id = id;
    v->Name = "n" + std::to_string(id);
    ASSERT_TRUE(list.Append(v));
  }
  auto* dup = new tValue;
  dup->Id = 12;
  EXPECT_FALSE(list.Append(dup));
  delete dup;  // refused entries stay the caller's
  std::vector<int32_t> ids;
  for (int32_t i = 0; i < list.Count(); ++i) ids.push_back(list.At(i)->Id);
  EXPECT_EQ(ids, (std::vector<int32_t>{-3, 0, 5, 12}));
  ASSERT_NE(list.FindById(12), nullptr);
  EXPECT_EQ(list.FindById(12)->Name, "n12");
  EXPECT_EQ(list.FindById(6), nullptr);
  list.Delete(0);  // released through DisposeValue; the sanitizer reports a leak otherwise
  EXPECT_EQ(list.Count(), 3);
}

}  // namespace
}  // namespace q2
