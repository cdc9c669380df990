// Reading the restaurant data file.
#include "zoltsim/restaurant.h"

#include <libxml/tree.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "xml/xml.h"

namespace q2::sim {
namespace {

std::runtime_error DataError(const std::string& what) {
  return std::runtime_error("restaurant data: " + what);
}

// The rows of a section: every child element must be named `rowName`.
std::vector<tRow> ReadRows(const tXmlNode& section, const std::string& rowName) {
  std::vector<tRow> rows;
  for (const tXmlNode& child : section.ChildNodes()) {
    if (!child.IsElement()) continue;
    if (child.Name() != rowName) {
      throw DataError("<" + child.Name() + "> in <" + section.Name() + ">, expected <" + rowName +
                      ">");
    }
    rows.push_back(RowOf(child));
  }
  return rows;
}

void CollectInts(const std::vector<tRow>& rows, const std::string& attr, std::set<int32_t>* out) {
  for (const tRow& row : rows) {
    int32_t value = 0;
    if (TryParseXmlInt(row.Attr(attr), &value)) out->insert(value);
  }
}

}  // namespace

tRow RowOf(const tXmlNode& node) {
  tRow row;
  for (xmlAttr* a = node.Raw()->properties; a != nullptr; a = a->next) {
    const std::string name = reinterpret_cast<const char*>(a->name);
    row.attrs.emplace_back(name, node.Attr(name));
  }
  return row;
}

std::string tRow::Attr(const std::string& name) const {
  for (const auto& [key, value] : attrs) {
    if (key == name) return value;
  }
  return std::string();
}

tRestaurant ParseRestaurant(const std::string& xmlBytes) {
  tXmlDocument doc;
  try {
    doc.LoadFromString(xmlBytes);
  } catch (const std::exception& e) {
    throw DataError(e.what());
  }
  const tXmlNode root = doc.Root();
  if (root.Name() != "Restaurant") {
    throw DataError("the document element is <" + root.Name() + ">, expected <Restaurant>");
  }
  tRestaurant r;
  for (const tXmlNode& section : root.ChildNodes()) {
    if (!section.IsElement()) continue;
    const std::string name = section.Name();
    if (name == "SystemInfo") {
      r.systemInfo = RowOf(section);
    } else if (name == "CashGroups") {
      r.cashGroups = ReadRows(section, "Item");
    } else if (name == "ClassificatorGroups") {
      r.classificatorGroups = ReadRows(section, "Item");
    } else if (name == "MenuGroups") {
      r.menuGroups = ReadRows(section, "rbrow");
    } else if (name == "MenuItems") {
      r.menuItems = ReadRows(section, "rbrow");
    } else if (name == "Modifiers") {
      r.modifiers = ReadRows(section, "rbrow");
    } else if (name == "Employees") {
      r.employees = ReadRows(section, "rbrow");
    } else if (name == "Waiters") {
      for (const tXmlNode& w : section.ChildNodes()) {
        if (!w.IsElement()) continue;
        if (w.Name() != "waiter") throw DataError("<" + w.Name() + "> in <Waiters>");
        tWaiterRow waiter;
        for (auto& attr : RowOf(w).attrs) {
          if (attr.first == "registered") {
            waiter.registered = attr.second != "0";
          } else {
            waiter.row.attrs.push_back(std::move(attr));
          }
        }
        waiter.stations = ReadRows(w, "Station");
        r.waiters.push_back(std::move(waiter));
      }
    } else {
      throw DataError("unknown section <" + name + ">");
    }
  }
  CollectInts(r.menuItems, "Sifr", &r.menuItemIds);
  CollectInts(r.modifiers, "Sifr", &r.modifierIds);
  CollectInts(r.employees, "Code", &r.staffCodes);
  for (const tWaiterRow& w : r.waiters) {
    int32_t code = 0;
    if (TryParseXmlInt(w.row.Attr("Code"), &code)) r.staffCodes.insert(code);
  }
  return r;
}

tRestaurant LoadRestaurantFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DataError("cannot open \"" + path + "\"");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  try {
    return ParseRestaurant(bytes.str());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(e.what()) + " (in \"" + path + "\")");
  }
}

}  // namespace q2::sim
