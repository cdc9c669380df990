// The restaurant a simulated cash server serves: system information, cash groups,
// classificator groups, menu groups and items, modifiers, employees and waiters on
// stations, read from one XML data file (format in restaurant.xml and docs/zoltsim.md).
// Rows keep their attributes as written, in order, because the answers copy them as they
// stand. Immutable once loaded; any thread may read it.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "xml/xml.h"

namespace q2::sim {

// One element of the data file: its attributes in document order.
struct tRow {
  std::vector<std::pair<std::string, std::string>> attrs;
  std::string Attr(const std::string& name) const;  // empty when absent
};

struct tWaiterRow {
  tRow row;  // without "registered"
  bool registered = true;
  std::vector<tRow> stations;  // the Station children
};

struct tRestaurant {
  tRow systemInfo;
  std::vector<tRow> cashGroups;           // ZoltReference Items for "CashGroups"
  std::vector<tRow> classificatorGroups;  // ... for "CLASSIFICATORGROUPS"
  std::vector<tRow> menuGroups, menuItems, modifiers, employees;  // KDSGetRefsData rbrows
  std::vector<tWaiterRow> waiters;

  // Integer values of Sifr (menu items, modifiers) and Code (employees, waiters) that
  // parse; rows whose values do not parse are still served but match nothing.
  std::set<int32_t> menuItemIds, modifierIds, staffCodes;
};

// The attributes of an element, in document order.
tRow RowOf(const tXmlNode& node);

// Parses a data file's bytes; throws std::runtime_error naming what is wrong ("restaurant
// data: ..."): not XML, a document element other than Restaurant, an unknown section or
// row element.
tRestaurant ParseRestaurant(const std::string& xmlBytes);
// Reads and parses a file; the message names the file on failure.
tRestaurant LoadRestaurantFile(const std::string& path);

// The default restaurant (tools/zoltsim/restaurant.xml, compiled in).
const std::string& DefaultRestaurantXml();

}  // namespace q2::sim
