// The simulator: its two loopback servers, their connection threads, and the dispatch of
// every request through faults, journal and order book under one lock.
#include "zoltsim/zolt_sim.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "transport/tcp_socket.h"
#include "transport/xml_tcp_server.h"
#include "xml/xml.h"
#include "zoltsim/faults.h"
#include "zoltsim/http_wire.h"
#include "zoltsim/journal.h"
#include "zoltsim/order_book.h"
#include "zoltsim/restaurant.h"

namespace q2::sim {
namespace {

// The simulator binds loopback only: whatever the options, nothing it serves is reachable
// from another machine.
constexpr char kLoopback[] = "127.0.0.1";
constexpr int kAcceptSliceMs = 200;
constexpr int kRequestSliceMs = 500;
// A connection that sends no handshake within this time is dropped.
constexpr int kHandshakeWaitMs = 30000;
constexpr int kIoTimeoutMs = 30000;
// The answer of the garbage fault: no XML parser accepts it (a NUL and stray bytes before
// any markup).
constexpr char kGarbageBytes[] = "\x01\x02zoltsim garbage \xFF\xFE\x00 not XML <<<";
const std::string kGarbage(kGarbageBytes, sizeof kGarbageBytes - 1);

tRestaurant LoadRestaurant(const tZoltSimOptions& options) {
  if (!options.restaurantFile.empty()) return LoadRestaurantFile(options.restaurantFile);
  if (!options.restaurantXml.empty()) return ParseRestaurant(options.restaurantXml);
  return ParseRestaurant(DefaultRestaurantXml());
}

std::string ErrorAnswer(const std::string& command, int number, const std::string& text) {
  tXmlDocument doc;
  tXmlNode result = doc.CreateNew("ZoltQueryResult");
  result.SetAttr("Status", "Error");
  if (!command.empty()) result.SetAttr("CMD", command);
  result.SetAttr("ZoltErrorN", std::to_string(number));
  result.SetAttr("ErrorText", text);
  return doc.SaveToString();
}

// A connection thread and whether it has finished (so that the accept loop can join it).
struct tWorker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

class tZoltSim::tImpl {
 public:
  explicit tImpl(tZoltSimOptions options)
      : options_(std::move(options)),
        restaurant_(LoadRestaurant(options_)),
        book_(restaurant_, options_.checkMenu, options_.messageReadAfterPolls) {
    if (options_.firstGeneration && !options_.key.empty()) {
      // A first-generation connection scrambles symmetrically with one routine chosen by
      // the client, which this server cannot know.
      throw std::invalid_argument("zoltsim: a scrambling key needs the extended handshake");
    }
  }
  ~tImpl() { Stop(); }

  void Start();
  void Stop();

  struct tReply {
    std::string answer;
    bool closeMidResponse = false;
    bool garbage = false;
  };
  // Journals one request, applies the error faults and carries the command out.
  tReply Dispatch(const std::string& transport, std::string document, const std::string& path,
                  const std::string& credentials);
  void Control(const std::string& directives, bool log = true);
  void ApplyDirective(const tDirective& d);  // under mutex_
  std::string StateXml() const;
  std::string JournalText() const;

  tZoltSimOptions options_;
  const tRestaurant restaurant_;
  mutable std::mutex mutex_;  // guards everything below up to the servers
  tOrderBook book_;
  tFaultSet faults_;
  std::vector<tJournalEntry> journal_;
  int nextSeq_ = 1;
  std::unique_ptr<tJournalFile> journalFile_;

  // Servers.
  std::atomic<bool> stop_{false};
  bool running_ = false;
  std::unique_ptr<tXmlTcpListener> tcpListener_, httpListener_;
  std::atomic<uint16_t> tcpPort_{0}, httpPort_{0};
  std::thread tcpAccept_, httpAccept_;
  std::mutex connMutex_;  // guards openFds_ and workers_
  // Open connections: descriptor -> waiting between requests (TCP connections only).
  std::map<int, bool> openFds_;
  std::list<tWorker> workers_;

  // Closes the TCP connections that wait between requests, so that the client's next call
  // opens a new connection and meets a handshake fault just switched on.
  void DropIdleTcpConnections();

 private:
  void SetIdle(int fd, bool idle);
  void AcceptLoop(tXmlTcpListener& listener, bool http);
  void ServeTcp(tXmlTcpServerConnection& conn);
  void ServeHttp(int fd);
  // Waits until the client closes or the server stops.
  void Linger(int fd);
  void Log(const std::string& line) const;
};

void tZoltSim::tImpl::Log(const std::string& line) const {
  if (options_.quiet) return;
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void tZoltSim::tImpl::Start() {
  if (running_) throw std::logic_error("zoltsim: already started");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!options_.journalFile.empty()) {
      journalFile_ = std::make_unique<tJournalFile>(options_.journalFile);
    }
  }
  // Silently: the executable's first line must be the one naming the ports.
  for (const std::string& directive : options_.faults) Control(directive, false);
  tcpListener_ = std::make_unique<tXmlTcpListener>(kLoopback, options_.tcpPort);
  httpListener_ = std::make_unique<tXmlTcpListener>(kLoopback, options_.httpPort);
  tcpPort_ = tcpListener_->Port();
  httpPort_ = httpListener_->Port();
  stop_ = false;
  running_ = true;
  tcpAccept_ = std::thread([this] { AcceptLoop(*tcpListener_, false); });
  httpAccept_ = std::thread([this] { AcceptLoop(*httpListener_, true); });
}

void tZoltSim::tImpl::Stop() {
  if (!running_) return;
  stop_ = true;
  tcpAccept_.join();
  httpAccept_.join();
  {
    std::lock_guard<std::mutex> lock(connMutex_);
    for (const auto& [fd, idle] : openFds_) shutdown(fd, SHUT_RDWR);
  }
  // No new workers appear once the accept loops have ended.
  for (tWorker& w : workers_) w.thread.join();
  workers_.clear();
  tcpListener_.reset();
  httpListener_.reset();
  tcpPort_ = 0;
  httpPort_ = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    journalFile_.reset();
  }
  running_ = false;
}

void tZoltSim::tImpl::AcceptLoop(tXmlTcpListener& listener, bool http) {
  while (!stop_) {
    tSocket client = listener.Accept(kAcceptSliceMs);
    std::lock_guard<std::mutex> lock(connMutex_);
    workers_.remove_if([](tWorker& w) {
      if (!*w.done) return false;
      w.thread.join();
      return true;
    });
    if (!client) continue;
    const int fd = client.Release();
    openFds_.emplace(fd, false);
    tWorker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, fd, http, done = worker.done] {
      // A descriptor leaves openFds_ before it is closed, so that Stop never shuts down a
      // number that has been reused.
      auto retire = [this, fd] {
        std::lock_guard<std::mutex> retireLock(connMutex_);
        openFds_.erase(fd);
      };
      if (http) {
        tSocket socket(fd);
        ServeHttp(fd);
        retire();
      } else {
        tXmlTcpServerConnection conn(tSocket(fd), kIoTimeoutMs);
        ServeTcp(conn);
        retire();
      }
      *done = true;
    });
  }
}

void tZoltSim::tImpl::SetIdle(int fd, bool idle) {
  std::lock_guard<std::mutex> lock(connMutex_);
  const auto it = openFds_.find(fd);
  if (it != openFds_.end()) it->second = idle;
}

void tZoltSim::tImpl::DropIdleTcpConnections() {
  std::lock_guard<std::mutex> lock(connMutex_);
  for (const auto& [fd, idle] : openFds_) {
    if (idle) shutdown(fd, SHUT_RDWR);
  }
}

void tZoltSim::tImpl::Linger(int fd) {
  char sink[256];
  while (!stop_) {
    const int ready = WaitReadable(fd, kRequestSliceMs);
    if (ready < 0) return;
    if (ready > 0 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) <= 0) return;
  }
}

void tZoltSim::tImpl::ServeTcp(tXmlTcpServerConnection& conn) {
  bool extended = false;
  uint32_t offered = 0;
  if (!conn.ReadHandshake(&extended, &offered, kHandshakeWaitMs)) return;
  bool silent = false, closeAfter = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    silent = faults_.noHandshakeAnswer;
    closeAfter = faults_.closeAfterHandshake;
  }
  if (silent) {
    Log("zoltsim: tcp handshake left unanswered (fault)");
    Linger(conn.Fd());
    return;
  }
  const bool sent =
      options_.firstGeneration
          ? conn.SendFirstGenerationReply()
          : conn.SendHandshakeReply(options_.flags | (options_.compress ? kXmlFlagCompressed : 0),
                                    options_.seedBase);
  if (!sent) return;
  if (closeAfter) {
    Log("zoltsim: tcp connection closed after the handshake (fault)");
    return;
  }
  conn.SetKey(options_.key);
  // Idle from the moment an answer is complete on this side: the client may start its
  // next call as soon as it has the answer, before the acknowledgement has been read here.
  SetIdle(conn.Fd(), true);
  while (!stop_) {
    tXmlTcpRequest request;
    bool closed = false;
    std::string error;
    if (!conn.ReadRequest(&request, &closed, &error, kRequestSliceMs)) {
      if (error == "no request") continue;
      if (!closed && !stop_) Log("zoltsim: tcp connection dropped: " + error);
      return;
    }
    SetIdle(conn.Fd(), false);
    const tReply reply = Dispatch("tcp", std::move(request.payload), "", "");
    if (reply.closeMidResponse) {
      // The full length, then half of the body: the client sees the connection end while
      // it is still receiving.
      uint8_t head[8];
      size_t headBytes = 0;
      if (conn.Extended()) {
        PutLE32(head, static_cast<uint32_t>(request.requestNumber));
        headBytes = 4;
      }
      PutLE32(head + headBytes, static_cast<uint32_t>(reply.answer.size()));
      conn.SendRaw(head, headBytes + 4);
      conn.SendRaw(reply.answer.data(), reply.answer.size() / 2);
      return;
    }
    SetIdle(conn.Fd(), true);
    if (!conn.WriteResponse(reply.garbage ? kGarbage : reply.answer, request.requestNumber)) {
      return;
    }
    if (conn.Extended() && !conn.ReadAck()) return;
  }
}

void tZoltSim::tImpl::ServeHttp(int fd) {
  tHttpReader reader(fd, stop_);
  auto send = [fd](int status, const std::string& reason, const std::string& type,
                   const std::string& body, bool close) {
    const std::string message = HttpResponseHead(status, reason, type, body.size(), close) + body;
    return SendAll(fd, message.data(), message.size(), kIoTimeoutMs);
  };
  while (!stop_) {
    tHttpRequest request;
    std::string error;
    const tHttpReader::tResult result = reader.Read(&request, &error);
    if (result == tHttpReader::tResult::kClosed) return;
    if (result == tHttpReader::tResult::kBad) {
      send(400, "Bad Request", "text/plain; charset=utf-8", error + "\n", true);
      return;
    }
    const bool close = !request.keepAlive;
    const std::string path = request.Path();
    bool ok = true;
    if (request.method == "POST" && path == "/control") {
      try {
        Control(request.body);
        ok = send(200, "OK", "text/plain; charset=utf-8", "ok\n", close);
      } catch (const std::invalid_argument& e) {
        ok = send(400, "Bad Request", "text/plain; charset=utf-8", std::string(e.what()) + "\n",
                  close);
      }
    } else if (request.method == "GET" && path == "/journal") {
      ok = send(200, "OK", "text/plain; charset=utf-8", JournalText(), close);
    } else if (request.method == "GET" && path == "/state") {
      ok = send(200, "OK", "text/xml; charset=utf-8", StateXml(), close);
    } else if (request.method == "POST") {
      // The client posts the document with one trailing zero byte.
      std::string document = std::move(request.body);
      if (!document.empty() && document.back() == '\0') document.pop_back();
      const tReply reply = Dispatch("http", std::move(document), request.target,
                                    BasicCredentials(request.Header("authorization")));
      if (reply.closeMidResponse) {
        const std::string head =
            HttpResponseHead(200, "OK", "text/xml; charset=utf-8", reply.answer.size(), false);
        SendAll(fd, head.data(), head.size(), kIoTimeoutMs);
        SendAll(fd, reply.answer.data(), reply.answer.size() / 2, kIoTimeoutMs);
        return;
      }
      ok = send(200, "OK", "text/xml; charset=utf-8", reply.garbage ? kGarbage : reply.answer,
                close);
    } else {
      ok = send(405, "Method Not Allowed", "text/plain; charset=utf-8",
                "POST a request document, POST /control, GET /journal or GET /state\n", close);
    }
    if (!ok || close) return;
  }
}

tZoltSim::tImpl::tReply tZoltSim::tImpl::Dispatch(const std::string& transport,
                                                  std::string document, const std::string& path,
                                                  const std::string& credentials) {
  // The TCP client sends the document up to its zero byte; accept one there as well.
  if (transport == "tcp" && !document.empty() && document.back() == '\0') document.pop_back();
  std::lock_guard<std::mutex> lock(mutex_);
  tXmlDocument request;
  std::string command, malformed;
  tXmlNode cmd;
  try {
    request.LoadFromString(document);
    const tXmlNode root = request.Root();
    cmd = root.Child("ZoltCMD");
    if (root.Name() != "ZoltQuery") {
      malformed = "the document element is not ZoltQuery";
    } else if (!cmd) {
      malformed = "no ZoltCMD element";
    } else if (!cmd.HasAttr("CMD")) {
      malformed = "ZoltCMD without CMD";
    } else {
      command = cmd.Attr("CMD");
    }
  } catch (const std::exception& e) {
    malformed = e.what();
  }
  tJournalEntry entry{nextSeq_++, transport, command, std::move(document), path, credentials};
  if (journalFile_) journalFile_->Append(entry);
  const int seq = entry.seq;
  journal_.push_back(std::move(entry));

  tReply reply;
  reply.closeMidResponse = faults_.closeMidResponse;
  reply.garbage = faults_.garbageAnswer;
  int number = 0;
  std::string text;
  bool failed = true;
  if (!malformed.empty()) {
    number = kErrMalformedRequest;
    text = "malformed request: " + malformed;
  } else if (!faults_.TakeErrorFor(command, &number, &text)) {
    try {
      tXmlDocument answer;
      tXmlNode result = answer.CreateNew("ZoltQueryResult");
      result.SetAttr("Status", "Ok");
      result.SetAttr("CMD", command);
      book_.Execute(command, cmd, result);
      reply.answer = answer.SaveToString();
      failed = false;
    } catch (const tZoltError& e) {
      number = e.number;
      text = e.text;
    } catch (const std::exception& e) {
      number = kErrBadRequest;
      text = e.what();
    }
  }
  if (failed) reply.answer = ErrorAnswer(command, number, text);
  std::string line = "zoltsim: #" + std::to_string(seq) + " " + transport + " " +
                     (command.empty() ? std::string("(malformed)") : command) + " -> " +
                     (failed ? "Error " + std::to_string(number) + " " + text : "Ok");
  if (reply.closeMidResponse) line += " [answer cut off]";
  if (reply.garbage) line += " [garbage sent]";
  Log(line);
  return reply;
}

void tZoltSim::tImpl::Control(const std::string& directives, bool log) {
  for (const std::string& piece : SplitDirectives(directives)) {
    const tDirective d = ParseDirective(piece);
    if ((d.kind == tDirective::tKind::kClose && d.mode == "after-handshake") ||
        (d.kind == tDirective::tKind::kHandshake && !d.on)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ApplyDirective(d);
      }
      DropIdleTcpConnections();
    } else {
      std::lock_guard<std::mutex> lock(mutex_);
      ApplyDirective(d);
    }
    if (log) Log("zoltsim: control " + piece);
  }
}

void tZoltSim::tImpl::ApplyDirective(const tDirective& d) {
  switch (d.kind) {
    case tDirective::tKind::kError:
      faults_.errors.push_back(d.fault);
      break;
    case tDirective::tKind::kBusy:
      faults_.busyNumber = d.fault.errorNumber;
      faults_.busyTimes = d.fault.times;
      break;
    case tDirective::tKind::kClose:
      faults_.closeAfterHandshake = d.mode == "after-handshake";
      faults_.closeMidResponse = d.mode == "mid-response";
      break;
    case tDirective::tKind::kHandshake:
      faults_.noHandshakeAnswer = !d.on;
      break;
    case tDirective::tKind::kGarbage:
      faults_.garbageAnswer = d.on;
      break;
    case tDirective::tKind::kReadAfter:
      book_.SetReadAfterPolls(d.number);
      break;
    case tDirective::tKind::kClearJournal:
      journal_.clear();
      break;
    case tDirective::tKind::kReset:
      faults_ = tFaultSet();
      break;
  }
}

std::string tZoltSim::tImpl::JournalText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  for (const tJournalEntry& e : journal_) text += FormatJournalLine(e);
  return text;
}

std::string tZoltSim::tImpl::StateXml() const {
  std::lock_guard<std::mutex> lock(mutex_);
  tXmlDocument doc;
  tXmlNode root = doc.CreateNew("ZoltSimState");
  tXmlNode orders = root.AppendChild("Orders");
  auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
  for (const tOrderState& o : book_.Orders()) {
    tXmlNode order = orders.AppendChild("Order");
    order.SetAttr("guid", o.guid);
    order.SetAttr("visit", std::to_string(o.visit));
    order.SetAttr("seqNumber", std::to_string(o.seqNumber));
    order.SetAttr("sessionID", std::to_string(o.sessionId));
    order.SetAttr("deferred", flag(o.deferred));
    order.SetAttr("paid", flag(o.paid));
    order.SetAttr("finished", flag(o.finished));
    order.SetAttr("visitClosed", flag(o.visitClosed));
    order.SetAttr("voided", flag(o.voided));
    order.SetAttr("deliveryState", std::to_string(o.deliveryState));
    order.SetAttr("nonPersistentComment", o.nonPersistentComment);
    for (const auto& [uni, quantity] : o.dishes) {
      tXmlNode n = order.AppendChild("Dish");
      n.SetAttr("uni", std::to_string(uni));
      n.SetAttr("quantity", std::to_string(quantity));
    }
    for (const auto& [uni, quantity] : o.combos) {
      tXmlNode n = order.AppendChild("Combo");
      n.SetAttr("uni", std::to_string(uni));
      n.SetAttr("quantity", std::to_string(quantity));
    }
    for (const int uni : o.prepays) order.AppendChild("Prepay").SetAttr("uni", std::to_string(uni));
  }
  tXmlNode messages = root.AppendChild("Messages");
  for (const tMessageState& m : book_.Messages()) {
    tXmlNode n = messages.AppendChild("Message");
    n.SetAttr("id", std::to_string(m.id));
    n.SetAttr("employeeCode", std::to_string(m.employeeCode));
    n.SetAttr("polls", std::to_string(m.polls));
    n.SetAttr("read", flag(m.read));
    n.SetAttr("text", m.text);
  }
  return doc.SaveToString();
}

// ---- tZoltSim -----------------------------------------------------------------------------

tZoltSim::tZoltSim(tZoltSimOptions options) : impl_(std::make_unique<tImpl>(std::move(options))) {}

tZoltSim::~tZoltSim() = default;

void tZoltSim::Start() { impl_->Start(); }

void tZoltSim::Stop() { impl_->Stop(); }

uint16_t tZoltSim::TcpPort() const { return impl_->tcpPort_; }

uint16_t tZoltSim::HttpPort() const { return impl_->httpPort_; }

std::vector<tJournalEntry> tZoltSim::Journal() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->journal_;
}

std::vector<std::string> tZoltSim::Commands() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  std::vector<std::string> commands;
  for (const tJournalEntry& e : impl_->journal_) commands.push_back(e.command);
  return commands;
}

void tZoltSim::ClearJournal() {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->journal_.clear();
}

void tZoltSim::AddErrorAnswer(const tFault& fault) {
  if (fault.times == 0 || fault.times < -1) {
    throw std::invalid_argument("zoltsim: a fault's times is -1 or 1 or more");
  }
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->faults_.errors.push_back(fault);
}

void tZoltSim::SetPayBusy(int errorNumber, int times) {
  if (errorNumber != kBusyLocked && errorNumber != kBusyServer) {
    throw std::invalid_argument("zoltsim: the busy answers are 2107 and 2123");
  }
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->faults_.busyNumber = errorNumber;
  impl_->faults_.busyTimes = times < 0 ? -1 : times;
}

void tZoltSim::SetCloseAfterHandshake(bool on) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->faults_.closeAfterHandshake = on;
  }
  if (on) impl_->DropIdleTcpConnections();
}

void tZoltSim::SetCloseMidResponse(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->faults_.closeMidResponse = on;
}

void tZoltSim::SetNoHandshakeAnswer(bool on) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->faults_.noHandshakeAnswer = on;
  }
  if (on) impl_->DropIdleTcpConnections();
}

void tZoltSim::SetGarbageAnswer(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->faults_.garbageAnswer = on;
}

void tZoltSim::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->faults_ = tFaultSet();
}

void tZoltSim::Control(const std::string& directives) { impl_->Control(directives); }

void tZoltSim::SetMessageReadAfterPolls(int polls) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  impl_->book_.SetReadAfterPolls(polls);
}

std::vector<tZoltSim::tOrderState> tZoltSim::Orders() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->book_.Orders();
}

bool tZoltSim::SetOrderFinished(const std::string& guid, bool finished) {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->book_.SetOrderFinished(guid, finished);
}

std::vector<tZoltSim::tMessageState> tZoltSim::Messages() const {
  std::lock_guard<std::mutex> lock(impl_->mutex_);
  return impl_->book_.Messages();
}

}  // namespace q2::sim
