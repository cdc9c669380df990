// The in-memory order: the record family that an incoming order document is parsed into
// and that the request builders and the display feed read. Money is in ten-thousandths of
// a unit; date-times are local day counts (see platform/datetime.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace q2 {

enum tZoltMenuItemType : uint8_t { miDish = 0, miContainer = 1, miComponent = 2, miModifier = 3 };

struct tZoltMenuItem;
using tZoltMenuItems = std::vector<std::unique_ptr<tZoltMenuItem>>;

// One node of the menu tree. `Quaintity` keeps the system's spelling.
struct tZoltMenuItem {
  tZoltMenuItemType miType = miDish;
  int32_t Component = 0;
  int32_t Id = 0;
  double Quaintity = 0;
  std::string Name;
  tZoltMenuItems Children;
};

struct tZoltPayment {
  int32_t Id = 0;
  int64_t Amount = 0;  // ten-thousandths of a currency unit
  std::string extTransaction, interfaceId, cardCode;
};

struct tZoltDelivery {
  int32_t deliveryState = 0;
  double startTime = 0, travelTime = 0, deliveryTime = 0, forwarderSendTime = 0,
         forwarderReturnTime = 0;
  int32_t zoneID = 0;
  std::string zoneName, orderPrefix;
  int32_t Source = 0;
};

struct tZoltExtSource {
  std::string Source, extID;
};

struct tZoltOrder {
  std::string persistentComment;
  int32_t OrderType = -1;
  int32_t course = 0;
  std::vector<tZoltPayment> payments;
  std::vector<tZoltDelivery> delivery;  // 0 or 1 element
  tZoltMenuItems Menu;
  std::vector<tZoltExtSource> ExtSources;
};

// The state of a placed order as needed to take it back (from a GetOrder answer). Items
// hold only miType (miDish or miContainer), Id (the line's uni) and Quaintity.
struct tZoltVoidData {
  int32_t Visit = 0;
  int32_t Finished = 0;
  int32_t SessionID = 0;
  int32_t PrepayID = 0;
  std::vector<tZoltMenuItem> Items;
};

// Source keys with meaning for the system.
inline constexpr const char* kOrderNumberSource = "120";
inline constexpr const char* kStatusIdSource = "{DF77A2D3-405D-4A5D-B8B6-4150533A2F1D}";

}  // namespace q2
