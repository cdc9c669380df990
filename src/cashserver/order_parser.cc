// Incoming order document -> tZoltOrder.
#include "cashserver/order_parser.h"

#include <memory>
#include <stdexcept>
#include <utility>

namespace q2 {
namespace {

// Every delivery read from a document is marked with this source, whatever it says.
constexpr int32_t kDeliverySource = 31;
// Document amounts are hundredths; Amount counts ten-thousandths.
constexpr int64_t kTenThousandthsPerHundredth = 100;
constexpr double kThousandthsPerUnit = 1000.0;

void AppendItem(tZoltMenuItems& target, tZoltMenuItemType type, int32_t component,
                const tXmlNode& node) {
  auto item = std::make_unique<tZoltMenuItem>();
  item->miType = type;
  item->Component = component;
  item->Id = node.IntAttr("id", 0);
  item->Quaintity = node.IntAttr("quantity", 0) / kThousandthsPerUnit;
  tZoltMenuItem& added = *item;
  target.push_back(std::move(item));
  AddMenuItems(added.Children, node.ChildNodes(), 0);
}

}  // namespace

void AddMenuItems(tZoltMenuItems& target, const std::vector<tXmlNode>& nodes, int32_t component) {
  for (const tXmlNode& node : nodes) {
    if (!node.IsElement()) continue;
    const std::string name = node.Name();
    if (name == "Dish") {
      AppendItem(target, miDish, 0, node);
    } else if (name == "Combo") {
      AppendItem(target, miContainer, 0, node);
    } else if (name == "Component") {
      AddMenuItems(target, node.ChildNodes(), node.IntAttr("id", 0));
    } else if (name == "ComboModi") {
      AppendItem(target, miComponent, component, node);
    } else if (name == "Modi") {
      AppendItem(target, miModifier, 0, node);
    }
  }
}

int32_t FindExtSource(const tZoltOrder& order, const std::string& source) {
  for (size_t i = 0; i < order.ExtSources.size(); ++i) {
    if (order.ExtSources[i].Source == source) return static_cast<int32_t>(i);
  }
  return -1;
}

void ClearOrderMenu(tZoltOrder& order) {
  // Each item owns its Children, which are destroyed as part of the item.
  order.Menu.clear();
}

void tZoltXML::ParseVDUOrder(tZoltOrder& order, const tXmlDocument& document) {
  tXmlNode root = document.TopElement("Order");
  if (!root) throw std::runtime_error("vdu.xml: node Order not found");

  order.persistentComment = root.Attr("persistentComment");
  tXmlNode orderType = root.Child("OrderType");
  order.OrderType = orderType ? orderType.IntAttr("id", -1) : -1;

  std::vector<tXmlNode> sources = root.Children("ExtSource");
  order.ExtSources.assign(sources.size(), tZoltExtSource());
  for (size_t i = 0; i < sources.size(); ++i) {
    order.ExtSources[i].Source = sources[i].Attr("source");
    order.ExtSources[i].extID = sources[i].Attr("extID");
  }

  order.delivery.clear();
  if (tXmlNode d = root.Child("Delivery")) {
    order.delivery.resize(1);
    tZoltDelivery& v = order.delivery[0];
    v.deliveryState = d.IntAttr("deliveryState", 0);
    v.startTime = d.DateTimeAttr("startTime", 0);
    v.travelTime = d.DateTimeAttr("travelTime", 0);
    v.deliveryTime = d.DateTimeAttr("deliveryTime", 0);
    v.forwarderSendTime = d.DateTimeAttr("forwarderSendTime", 0);
    v.forwarderReturnTime = d.DateTimeAttr("forwarderReturnTime", 0);
    v.zoneID = d.IntAttr("zoneID", 0);
    v.zoneName = d.Attr("zoneName");
    v.orderPrefix = d.Attr("orderPrefix");
    v.Source = kDeliverySource;
  }

  tXmlNode session = root.Child("Session");
  if (!session) throw std::runtime_error("vdu.xml: node Sesssion not found");

  tXmlNode course = session.Child("Course");
  order.course = course ? course.IntAttr("code", 0) : 0;

  order.payments.clear();
  if (tXmlNode payments = session.Child("Payments")) {
    std::vector<tXmlNode> list = payments.Children("Payment");
    order.payments.assign(list.size(), tZoltPayment());
    for (size_t i = 0; i < list.size(); ++i) {
      tZoltPayment& p = order.payments[i];
      p.Id = list[i].IntAttr("id", 0);
      p.Amount = int64_t{list[i].IntAttr("amount", 0)} * kTenThousandthsPerHundredth;
      p.extTransaction = list[i].Attr("extTransactionInfo");
      p.interfaceId = list[i].Attr("interface");
      p.cardCode = list[i].Attr("cardcode");
    }
  }

  AddMenuItems(order.Menu, session.ChildNodes(), 0);
}

}  // namespace q2
