// zoltsim: a stand-in for the restaurant cash server, for tests and demonstrations. It
// serves the cash server's XML interface on 127.0.0.1 only, over the XML-over-TCP protocol
// (transport/xml_tcp_server.h) and over HTTP POST on a second port, from a restaurant data
// file, with orders and waiter messages kept in memory, injectable faults, and a journal
// of every request.
//
// In-process use (tests):
//   q2::sim::tZoltSimOptions options;
//   options.quiet = true;
//   q2::sim::tZoltSim sim(options);
//   sim.Start();
//   ... CallXmlTcp("127.0.0.1:" + std::to_string(sim.TcpPort()), ...) ...
//   EXPECT_EQ(sim.Commands(), (std::vector<std::string>{"GetSystemInfo"}));
// Every public member may be called from any thread while the servers run. The answers,
// the error numbers, the fault directives and the journal file format are described in
// docs/zoltsim.md.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace q2::sim {

// Error numbers (ZoltErrorN) of the simulator's own refusals. Injected faults carry the
// number they were given (for example 2107 and 2123, the busy answers of PayOrder).
inline constexpr int kErrMalformedRequest = 1001;  // not XML, no ZoltQuery\ZoltCMD, no CMD
inline constexpr int kErrUnknownCommand = 1002;
inline constexpr int kErrBadRequest = 1003;  // a missing or invalid element or value
inline constexpr int kErrOrderNotFound = 1004;
inline constexpr int kErrOrderFinished = 1005;  // the order's visit is closed
inline constexpr int kErrAlreadyPaid = 1006;
inline constexpr int kErrUnknownStaff = 1007;     // waiter, cashier or employee code
inline constexpr int kErrUnknownMenuItem = 1008;  // only with tZoltSimOptions::checkMenu
inline constexpr int kErrVisitNotFound = 1009;
inline constexpr int kErrVisitClosed = 1010;
inline constexpr int kErrLineNotFound = 1011;  // a void or deletion of an unknown uni
inline constexpr int kErrVoidTooLarge = 1012;  // voiding more than the line holds

struct tJournalEntry {
  int seq;                  // 1, 2, ... in arrival order
  std::string transport;    // "tcp" or "http"
  std::string command;      // the CMD attribute; empty for a malformed request
  std::string document;     // the whole request document, UTF-8 (HTTP: the trailing zero cut)
  std::string path;         // HTTP: the request target ("/xml?x=1"); empty over TCP
  std::string credentials;  // HTTP: "login:password" of basic authorization, else empty
};

struct tFault {
  std::string command;  // CMD it applies to, "*" for all
  int errorNumber = 0;
  std::string errorText;
  int times = -1;  // -1: always
};

struct tZoltSimOptions {
  std::string restaurantFile;           // empty: restaurantXml, or the built-in default
  uint16_t tcpPort = 0, httpPort = 0;   // 0: ephemeral
  bool firstGeneration = false;         // answer AC 03 70 43
  uint32_t flags = 0x02, seedBase = 0;  // extended handshake reply
  std::string key;                      // scrambling key
  bool compress = false;                // sets 0x40
  int messageReadAfterPolls = 1;        // GetWaiterMessages lists a message until polled this
                                        // many times (0: never listed); <0: never read
  std::string journalFile;              // also append every request there (one line each)
  bool quiet = false;                   // no log line per request on stdout
  // Additions.
  std::string restaurantXml;        // the data file's text, used when restaurantFile is
                                    // empty and this is not
  bool checkMenu = false;           // refuse dish, combo and modifier ids not on the menu
  std::vector<std::string> faults;  // fault directives applied at Start (see Control)
};

class tZoltSim final {
 public:
  // Loads the restaurant; throws std::runtime_error when the data file cannot be read or
  // is not a restaurant, std::invalid_argument for a bad option.
  explicit tZoltSim(tZoltSimOptions options);
  ~tZoltSim();  // stops
  tZoltSim(const tZoltSim&) = delete;
  tZoltSim& operator=(const tZoltSim&) = delete;

  // Binds 127.0.0.1 (both ports), opens the journal file, applies options.faults and starts
  // the server threads. Throws std::runtime_error when a port cannot be bound or the
  // journal file cannot be opened, std::invalid_argument for a bad fault directive, and
  // std::logic_error when already started. A stopped simulator may be started again; its
  // state, journal and faults are kept.
  void Start();
  // Closes the listeners and every open connection and joins the threads. Idempotent.
  void Stop();
  uint16_t TcpPort() const;  // the bound ports; 0 before Start
  uint16_t HttpPort() const;

  std::vector<tJournalEntry> Journal() const;  // every request so far, in arrival order
  std::vector<std::string> Commands() const;   // just the CMD names, in order
  void ClearJournal();                         // the in-process journal; the file is kept

  // Faults (also settable through the control request on the HTTP port and by options):
  void AddErrorAnswer(const tFault& fault);  // answer Status="Error" with ZoltErrorN and
                                             // ErrorText; the command is not carried out
  void SetPayBusy(int errorNumber /*2107 or 2123*/, int times);  // times -1: always
  // The two handshake faults meet new TCP connections; switching one on also closes the
  // connections that wait between requests, so that the client's next call reconnects.
  void SetCloseAfterHandshake(bool on);  // TCP: reply to the handshake, then close
  void SetNoHandshakeAnswer(bool on);    // TCP: read the handshake and stay silent
  void SetCloseMidResponse(bool on);     // carry the command out, send half its answer, close
  void SetGarbageAnswer(bool on);        // carry the command out, answer bytes that are not
                                         // XML (framed, compressed and scrambled as usual)
  void ClearFaults();
  // Applies fault directives, separated by new lines or "&" (the body of POST /control and
  // the --fault option): "error=CMD:N:TEXT[:TIMES]", "busy=N[:TIMES]",
  // "close=after-handshake|mid-response|off", "handshake=none|on", "garbage=on|off",
  // "read-after=N", "journal=clear", "reset" (clears the faults). %XX escapes are decoded.
  // Throws std::invalid_argument naming the first bad directive; directives before it
  // have been applied.
  void Control(const std::string& directives);
  void SetMessageReadAfterPolls(int polls);

  // State: created orders and their lines, prepayments, paid/voided/closed, sequence numbers
  struct tOrderLine {
    std::string kind;  // "Dish" or "Combo"
    int uni = 0;
    int id = 0;                                   // the menu item
    int quantity = 0;                             // thousandths, as saved
    int voidedQuantity = 0;                       // thousandths taken back by voids
    int voidReason = 0;                           // code of the last void
    int voids = 0;                                // Void elements applied
    std::vector<int> modifiers;                   // Modi ids below the line, any depth
    std::vector<std::pair<int, int>> components;  // (Component id, ComboModi id)
  };
  struct tPrepayLine {
    int uni = 0;
    int id = 0;
    int64_t amount = 0;  // hundredths, as sent
    std::string extTransactionInfo;
    int reason = 0;
    bool deleted = false;
  };
  struct tOrderState {
    std::string guid;  // registry form, upper case
    int visit = 0;
    int seqNumber = 0;
    bool deferred = false;  // last SaveOrder had deferred="1"
    bool paid = false;
    bool finished = false;  // the visit was closed (or set by SetOrderFinished)
    bool visitClosed = false;
    int sessionId = 0;
    std::vector<std::pair<int, int>> dishes;  // uni, quantity: the standing Dish lines
    std::vector<std::pair<int, int>> combos;  // uni, quantity: the standing Combo lines
    std::vector<int> prepays;                 // uni of the prepayments not deleted
    int deliveryState = -1;                   // -1: no DeliveryUpdateStatus yet
    // Additions.
    bool voided = false;  // some line was voided or a prepayment deleted
    int tableCode = 0, stationCode = 0, waiterCode = 0, orderType = -1;
    std::string persistentComment, nonPersistentComment;
    std::vector<std::pair<std::string, std::string>> extSources;     // source, extID
    std::vector<std::pair<std::string, std::string>> deliveryBlock;  // attributes as sent
    int cashierCode = 0, receiptMaket = 0;  // of the PayOrder that succeeded
    std::vector<tOrderLine> lines;          // every line saved, voided ones included
    std::vector<tPrepayLine> prepayLines;   // every prepayment, deleted ones included
  };
  std::vector<tOrderState> Orders() const;  // in creation order
  // For "already canceled" tests; false when no order has this guid (letter case ignored).
  bool SetOrderFinished(const std::string& guid, bool finished);
  struct tMessageState {
    int id = 0;
    int employeeCode = 0;
    std::string text;
    int timeToLive = 0;
    int polls = 0;  // GetWaiterMessages answers that listed it
    bool read = false;
  };
  std::vector<tMessageState> Messages() const;

  class tImpl;

 private:
  std::unique_ptr<tImpl> impl_;
};

}  // namespace q2::sim
