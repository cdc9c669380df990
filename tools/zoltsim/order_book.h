// The commands of the cash server's XML interface, carried out on the simulator's
// in-memory state: reference answers from the restaurant, orders with their lines and
// prepayments, visits, and waiter messages. Not thread-safe: tZoltSim calls it under its
// lock.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "xml/xml.h"
#include "zoltsim/restaurant.h"
#include "zoltsim/zolt_sim.h"

namespace q2::sim {

// A refusal, answered with Status="Error", ZoltErrorN = number and ErrorText = text.
struct tZoltError {
  int number;
  std::string text;
};

class tOrderBook final {
 public:
  using tOrderState = tZoltSim::tOrderState;
  using tMessageState = tZoltSim::tMessageState;

  tOrderBook(const tRestaurant& restaurant, bool checkMenu, int readAfterPolls);
  tOrderBook(const tOrderBook&) = delete;
  tOrderBook& operator=(const tOrderBook&) = delete;

  // Carries out `command` with the request's ZoltCMD element `cmd`, appending the answer's
  // attributes and elements to `result` (the answer's ZoltQueryResult, whose Status the
  // caller writes). Throws tZoltError; a refused command changes no state.
  void Execute(const std::string& command, const tXmlNode& cmd, tXmlNode result);

  const std::vector<tOrderState>& Orders() const { return orders_; }
  const std::vector<tMessageState>& Messages() const { return messages_; }
  bool SetOrderFinished(const std::string& guid, bool finished);
  void SetReadAfterPolls(int polls) { readAfterPolls_ = polls; }

 private:
  void GetSystemInfo(const tXmlNode& cmd, tXmlNode result);
  void GetRefData(const tXmlNode& cmd, tXmlNode result);
  void KDSGetRefsData(const tXmlNode& cmd, tXmlNode result);
  void GetWaiterList(const tXmlNode& cmd, tXmlNode result);
  void ValidateOrder(const tXmlNode& cmd, tXmlNode result);
  void CreateOrder(const tXmlNode& cmd, tXmlNode result);
  void GetOrder(const tXmlNode& cmd, tXmlNode result);
  void SaveOrder(const tXmlNode& cmd, tXmlNode result);
  void DeliveryUpdateStatus(const tXmlNode& cmd, tXmlNode result);
  void PayOrder(const tXmlNode& cmd, tXmlNode result);
  void CloseVisit(const tXmlNode& cmd, tXmlNode result);
  void WaiterMessage(const tXmlNode& cmd, tXmlNode result);
  void GetWaiterMessages(const tXmlNode& cmd, tXmlNode result);

  // The order named by ZoltCMD\Order guid; refuses a missing guid or an unknown order.
  tOrderState& OrderOf(const tXmlNode& cmd);
  void CheckStaff(int32_t code, const std::string& what) const;
  // Checks a menu element (Dish, Combo, Component, Modi) and everything below it, adding
  // the modifiers and combo parts found to the line.
  void ReadMenuElement(const tXmlNode& node, tZoltSim::tOrderLine* line) const;
  void CheckMenuId(const std::set<int32_t>& ids, int32_t id, const std::string& what) const;
  std::string NewGuid();

  const tRestaurant& restaurant_;
  bool checkMenu_;
  int readAfterPolls_;
  std::vector<tOrderState> orders_;
  std::vector<tMessageState> messages_;
  // Distinct ranges, so that a client mixing up two of these numbers is caught.
  int nextSeqNumber_ = 1;
  int nextVisit_ = 1001;
  int nextSession_ = 2001;
  int nextUni_ = 3001;
  int nextMessageId_ = 4001;
  std::mt19937_64 random_;
};

}  // namespace q2::sim
