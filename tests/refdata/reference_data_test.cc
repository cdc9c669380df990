// Station identity, reference lists, waiters and the CSV export, against the simulator.
#include "refdata/reference_data.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "refdata/sim_env.h"

namespace q2 {
namespace {

using test::FixturePath;
using test::tSimEnv;

sim::tZoltSimOptions Restaurant(const std::string& fixture) {
  sim::tZoltSimOptions options;
  options.restaurantFile = FixturePath("refdata/" + fixture);
  return options;
}

std::vector<int32_t> Ids(const tValueList& list) {
  std::vector<int32_t> ids;
  for (int32_t i = 0; i < list.Count(); ++i) ids.push_back(list.At(i)->Id);
  return ids;
}

// The lines of a CSV export, decoded, without their CR LF; fails the test on a missing
// byte-order mark or line end.
std::vector<std::string> CsvLines(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  const std::string text = Utf16LEToUtf8(bytes.substr(2));
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "line without CR LF: " << text.substr(start);
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

struct tLists {
  tValueList classes, employees, dishes, modifiers;
  const tValue* offlineWaiter = nullptr;
  void Load(tCashServerCall& call, const std::string& offlineName) {
    LoadReferenceData(call, offlineName, classes, employees, dishes, modifiers, offlineWaiter);
  }
};

TEST(SystemInfo, FindsTheFirstCashGroupOfTheExactNetName) {
  tSimEnv env(Restaurant("restaurant.xml"));
  int32_t restCode = 0, cashGroup = -1;
  std::string netName;
  QuerySystemInfo(env.call, restCode, cashGroup, netName);
  EXPECT_EQ(restCode, 77);
  EXPECT_EQ(netName, "POS-7");
  EXPECT_EQ(cashGroup, 501);  // 500 is "pos-7", 502 comes later
  const std::vector<sim::tJournalEntry> journal = env.sim->Journal();
  ASSERT_EQ(env.sim->Commands(), (std::vector<std::string>{"GetSystemInfo", "GetRefData"}));
  EXPECT_NE(journal[1].document.find("RefName=\"CashGroups\""), std::string::npos);
  EXPECT_TRUE(env.Logged("thrd.gsys: requesting SysData"));
}

TEST(SystemInfo, CashGroupWithIdentZeroIsNoCashGroup) {
  tSimEnv env(Restaurant("restaurant_no_cash_group.xml"));
  int32_t restCode = 0, cashGroup = -1;
  std::string netName;
  try {
    QuerySystemInfo(env.call, restCode, cashGroup, netName);
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Couldn't find CashGroup identifier for ЗАЛ-2");
  }
  EXPECT_EQ(restCode, 78);
  EXPECT_EQ(cashGroup, 0);
}

TEST(ReferenceData, ListsKeepTheFirstOfAnIdAndLinkToClasses) {
  tSimEnv env(Restaurant("restaurant.xml"));
  tLists lists;
  lists.Load(env.call, "");
  EXPECT_EQ(env.sim->Commands(), (std::vector<std::string>{"GetRefData", "KDSGetRefsData"}));
  EXPECT_NE(env.sim->Journal()[0].document.find("RefName=\"CLASSIFICATORGROUPS\""),
            std::string::npos);

  // The placeholder class refuses the group with ItemIdent 0; the second 3 is dropped.
  EXPECT_EQ(Ids(lists.classes), (std::vector<int32_t>{0, 3, 5}));
  const tValue* placeholder = lists.classes.FindById(0);
  EXPECT_EQ(placeholder->Code, 0);
  EXPECT_EQ(placeholder->Name, "");
  EXPECT_EQ(lists.classes.FindById(3)->Name, "Горячий цех");
  EXPECT_EQ(lists.classes.FindById(3)->Code, 3);

  EXPECT_EQ(Ids(lists.dishes), (std::vector<int32_t>{7, 8, 10, 60, 101, 102, 103}));
  const struct {
    int32_t id, code;
    const char* name;
    const tValue* link;
  } dishes[] = {
      {60, 60, "Комбо-обеды", placeholder},  // the menu group; the item "Пирожок" is refused
      {10, 10, "Супы", placeholder},
      {101, 1101, "Борщ", lists.classes.FindById(3)},  // not the later "Борщ-дубль"
      {7, 1007, "Комбо", placeholder},                 // Stream 0
      {8, 1008, "Без цеха", nullptr},                  // Stream 42: no such class
      {103, 1103, "Name with \"quotes\"; and semicolon", placeholder},  // no Stream
  };
  for (const auto& d : dishes) {
    SCOPED_TRACE(d.id);
    const tValue* dish = lists.dishes.FindById(d.id);
    ASSERT_NE(dish, nullptr);
    EXPECT_EQ(dish->Code, d.code);
    EXPECT_EQ(dish->Name, d.name);
    EXPECT_EQ(dish->Link, d.link);
  }

  ASSERT_EQ(Ids(lists.modifiers), (std::vector<int32_t>{901}));
  EXPECT_EQ(lists.modifiers.At(0)->Code, 0);
  EXPECT_EQ(lists.modifiers.At(0)->Name, "Без лука");
  EXPECT_EQ(Ids(lists.employees), (std::vector<int32_t>{1, 3, 4, 5}));
  EXPECT_EQ(lists.offlineWaiter, nullptr);  // an empty name matches nobody

  const std::string log = env.LogText();
  const size_t classificators = log.find("thrd: requesting Classificators");
  ASSERT_NE(classificators, std::string::npos);
  EXPECT_NE(log.find("thrd: requesting KDSData", classificators), std::string::npos);
}

TEST(ReferenceData, OfflineWaiterIgnoresLetterCaseAndTakesTheLaterNamesake) {
  tSimEnv env(Restaurant("restaurant.xml"));
  const struct {
    const char* name;
    int32_t id;  // 0: none
  } cases[] = {
      {"онлайн заказы", 5},  // "Онлайн Заказы" (3) and "ОНЛАЙН ЗАКАЗЫ" (5)
      {"иВАНОВА мАРИЯ", 1},
      {"Онлайн", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tLists lists;
    lists.Load(env.call, c.name);
    if (c.id == 0) {
      EXPECT_EQ(lists.offlineWaiter, nullptr);
    } else {
      EXPECT_EQ(lists.offlineWaiter, lists.employees.FindById(c.id));
    }
  }
  EXPECT_TRUE(env.Logged("found offline waiter CODE=13 NAME=Онлайн Заказы"));
  EXPECT_TRUE(env.Logged("found offline waiter CODE=15 NAME=ОНЛАЙН ЗАКАЗЫ"));
}

TEST(ReferenceData, NonDecimalSifrEndsTheLoadKeepingWhatCameBefore) {
  tSimEnv env(Restaurant("restaurant_bad_sifr.xml"));
  tLists lists;
  try {
    lists.Load(env.call, "Иванова Мария");
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "''0x66'' is not a valid integer value");
  }
  EXPECT_EQ(Ids(lists.dishes), (std::vector<int32_t>{101}));
  EXPECT_EQ(lists.employees.Count(), 0);  // employees come after the menu items
  EXPECT_EQ(lists.offlineWaiter, nullptr);
}

TEST(Waiters, FirstWaiterWithAStationOfTheUnit) {
  tSimEnv env(Restaurant("restaurant.xml"));
  tLists lists;
  lists.Load(env.call, "");
  const struct {
    int32_t unit;
    int32_t id;  // 0: none
  } cases[] = {
      {1, 1},  // waiter 1's second station; waiter 4 also stands on 1, later
      {2, 4},
      {0, 1},
      {9, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.unit);
    const tValue* waiter = LoadWaiters(env.call, c.unit, lists.employees);
    if (c.id == 0) {
      EXPECT_EQ(waiter, nullptr);
    } else {
      EXPECT_EQ(waiter, lists.employees.FindById(c.id));
    }
  }
  EXPECT_EQ(lists.employees.Count(), 4);
  EXPECT_NE(env.sim->Journal().back().document.find("RegisteredOnly=\"1\""), std::string::npos);
  EXPECT_TRUE(env.Logged("thrd.gwtr: looking for Unit with Code = 9"));
  EXPECT_TRUE(env.Logged("thrd.gwtr: nothing found"));
  EXPECT_TRUE(env.Logged("thrd.gwtr: and it's in dictionary"));
}

TEST(Waiters, WaiterMissingFromTheEmployeesIsAddedWithAnEmptyName) {
  tSimEnv env(Restaurant("restaurant.xml"));
  tLists lists;
  lists.Load(env.call, "");
  const tValue* waiter = LoadWaiters(env.call, 5, lists.employees);
  ASSERT_NE(waiter, nullptr);
  EXPECT_EQ(waiter->Id, 6);
  EXPECT_EQ(waiter->Code, 16);
  EXPECT_EQ(waiter->Name, "");
  EXPECT_EQ(waiter->Link, nullptr);
  EXPECT_EQ(Ids(lists.employees), (std::vector<int32_t>{1, 3, 4, 5, 6}));
  EXPECT_EQ(lists.employees.FindById(6), waiter);
  // The next look finds the entry added before.
  EXPECT_EQ(LoadWaiters(env.call, 5, lists.employees), waiter);
  EXPECT_EQ(lists.employees.Count(), 5);
  EXPECT_TRUE(env.Logged("thrd.gwtr: and it's not in dictionary for whatever reason"));
}

TEST(MetaListCsv, LinesInIdOrderWithSharedLinkDigits) {
  tSimEnv env(Restaurant("restaurant.xml"));
  tLists lists;
  lists.Load(env.call, "");
  const std::string classesCsv = env.dir.path() + kClassesCsvName;
  const std::string dishesCsv = env.dir.path() + kDishesCsvName;
  DumpMetaList(lists.classes, classesCsv);
  DumpMetaList(lists.dishes, dishesCsv);

  EXPECT_EQ(CsvLines(classesCsv),
            (std::vector<std::string>{"0;0;\"\";00000000", "3;3;\"Горячий цех\";00000000",
                                      "5;5;\"Бар\";00000000"}));
  const std::vector<std::string> dishes = CsvLines(dishesCsv);
  ASSERT_EQ(dishes.size(), 7u);
  auto link = [&](size_t line) { return dishes[line].substr(dishes[line].size() - 8); };
  for (const std::string& line : dishes) {
    SCOPED_TRACE(line);
    const std::string digits = line.substr(line.size() - 8);
    EXPECT_EQ(digits.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(line[line.size() - 9], ';');
  }
  // Ids 7, 8, 10, 60, 101, 102, 103: 7, 10, 60 and 103 link the placeholder, 101 and 102
  // class 3, 8 nothing.
  EXPECT_EQ(dishes[0].substr(0, dishes[0].size() - 8), "7;1007;\"Комбо\";");
  EXPECT_EQ(link(1), "00000000");
  EXPECT_NE(link(0), "00000000");
  EXPECT_EQ(link(2), link(0));
  EXPECT_EQ(link(3), link(0));
  EXPECT_EQ(link(6), link(0));
  EXPECT_NE(link(4), "00000000");
  EXPECT_NE(link(4), link(0));
  EXPECT_EQ(link(5), link(4));
  EXPECT_EQ(dishes[6].substr(0, dishes[6].size() - 8),
            "103;1103;\"Name with \"quotes\"; and semicolon\";");

  // A second export replaces the file.
  DumpMetaList(lists.modifiers, dishesCsv);
  EXPECT_EQ(CsvLines(dishesCsv), (std::vector<std::string>{"901;0;\"Без лука\";00000000"}));
}

TEST(MetaListCsv, EmptyListAndUnwritablePlace) {
  q2test::TempDir dir;
  tValueList empty;
  DumpMetaList(empty, dir.path() + "empty.csv");
  EXPECT_EQ(ReadFileBytes(dir.path() + "empty.csv"), "\xFF\xFE");
  EXPECT_THROW(DumpMetaList(empty, dir.path() + "missing/folder/x.csv"), std::runtime_error);
}

}  // namespace
}  // namespace q2
