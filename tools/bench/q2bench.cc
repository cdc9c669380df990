// q2bench: measurements for scripts/bench.
//
//   q2bench lzw --corpus FILE [--bytes N] [--repeat R]
//       generates a deterministic XML-like corpus of N bytes (default 10,000,000) into FILE,
//       times LzCompress and LzDecompress on it in memory (median of R runs, default 3),
//       checks the round trip, then times /usr/bin/compress -c and /usr/bin/uncompress -c
//       on the same file, and compress -c -b 12 (median of R runs each), and checks their
//       round trips. The times of the programs include starting them and their file I/O
//       (from and to the page cache).
//   q2bench map --file FILE [--records N] [--lookups L] [--order ascending|random] [--repeat R]
//       writes a map file of N records (default 100,000): 5% older than the keeping period at
//       the front, 5% marked deleted spread through the rest, the others live and recent;
//       times opening it (compaction and index; median of R fresh copies), then L random
//       lookups of live order ids, then times opening the compacted file again.
//   q2bench rtt --address HOST:PORT [--count N]
//       N GetSystemInfo calls over the pooled connection after one warm-up call; prints the
//       median and other quantiles of one round trip.
//   q2bench orders --stage DIR --into DIR --count N --first NUMBER
//       writes N order files (unpaid, paid and delivery in turn) into DIR --stage, then
//       renames each into the folder --into.
//   q2bench wait-journal --journal FILE --after LINES [--timeout S]
//       waits until FILE holds more than LINES lines and prints the wall-clock time (seconds
//       since the epoch, nanoseconds) at which the bench saw it.
//   q2bench pickup --stage DIR --into DIR --filed DIR --journal FILE [--count N]
//                  [--first NUMBER] [--max-delay-ms MS] [--seed S] [--timeout S]
//       drops N unpaid orders one at a time: waits a random delay of 0..MS milliseconds
//       after the previous one was filed, renames the next file in and measures the time
//       until the journal grows (the cash server's first request after the rename); prints
//       each time and the median.
//
// Every subcommand prints "key=value" lines; scripts/bench reads them. Exit status 0 on
// success, 1 when a measurement failed (a round trip that does not match, a timeout), 2 on
// a bad command line. All sockets are opened on the addresses given, which scripts/bench
// keeps on 127.0.0.1.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cashserver/map_list.h"
#include "cashserver/zolt_xml.h"
#include "platform/datetime.h"
#include "transport/lzw.h"
#include "transport/stream.h"
#include "transport/tcp_client.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double WallSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value at quantile q (0..1) by the nearest rank.
double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  if (rank > 0) --rank;
  return v[std::min(rank, v.size() - 1)];
}

struct tArgs {
  std::map<std::string, std::string> values;

  std::string Get(const std::string& key, const std::string& fallback = std::string()) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
  std::string Need(const std::string& key) const {
    auto it = values.find(key);
    if (it == values.end()) throw std::invalid_argument("missing --" + key);
    return it->second;
  }
  long long Number(const std::string& key, long long fallback) const {
    auto it = values.find(key);
    if (it == values.end()) return fallback;
    char* end = nullptr;
    const long long n = std::strtoll(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end != '\0') throw std::invalid_argument("--" + key + " is not a number");
    return n;
  }
};

tArgs ParseArgs(int argc, char** argv, int first) {
  tArgs args;
  for (int i = first; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) != 0 || i + 1 >= argc) throw std::invalid_argument("bad option " + a);
    args.values[a.substr(2)] = argv[++i];
  }
  return args;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out || !out.write(data.data(), static_cast<std::streamsize>(data.size())) || !out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

// ---- LZW ------------------------------------------------------------------------------

// Order-like XML documents from a fixed pseudo-random sequence, cut at exactly `bytes`.
std::string MakeCorpus(size_t bytes) {
  std::mt19937 rng(20261210);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  const char* const names[] = {"Пельмени домашние", "Борщ с пампушками", "Солянка сборная",
                               "Chicken Caesar", "Margherita 30 cm", "Блины с творогом",
                               "Квас хлебный 0,5", "Green tea", "Сырники со сметаной",
                               "Уха по-фински", "Espresso", "Вареники с вишней"};
  const char* const comments[] = {"Позвонить за 10 минут", "Без лука", "Leave at the door",
                                  "Домофон 45К", "", "Сдача с 5000", "Extra napkins", ""};
  const char* const streets[] = {"ул. Садовая", "пр. Мира", "Baker Street", "ул. Ленина",
                                 "наб. Фонтанки"};
  std::string out;
  out.reserve(bytes + 4096);
  int order = 100000;
  while (out.size() < bytes) {
    ++order;
    const bool paid = pick(2) == 0, delivery = pick(3) == 0;
    out += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Order persistentComment=\"";
    out += comments[pick(8)];
    out += "\">\n  <OrderType id=\"" + std::to_string(delivery ? 3 : 2) + "\"/>\n";
    out += "  <ExtSource source=\"120\" extID=\"" + std::to_string(order) + "\"/>\n";
    out += "  <ExtSource source=\"{DF77A2D3-405D-4A5D-B8B6-4150533A2F1D}\" extID=\"site-" +
           std::to_string(order) + "\"/>\n";
    if (delivery) {
      out += "  <Delivery deliveryState=\"1\" startTime=\"2026-12-" + std::to_string(10 + pick(9)) +
             "T" + std::to_string(10 + pick(12)) + ":" + std::to_string(10 + pick(50)) +
             ":00\" travelTime=\"1899-12-30T00:" + std::to_string(10 + pick(50)) +
             ":00\" zoneID=\"" + std::to_string(1 + pick(6)) + "\" address=\"" + streets[pick(5)] +
             ", " + std::to_string(1 + pick(120)) + "\"/>\n";
    }
    out += "  <Session>\n    <Course code=\"1\"/>\n";
    const int dishes = 1 + pick(6);
    int64_t total = 0;
    for (int d = 0; d < dishes; ++d) {
      const int id = 100 + pick(60);
      const int qty = (1 + pick(3)) * 1000;
      const int price = (5 + pick(60)) * 1000;
      total += static_cast<int64_t>(qty / 1000) * price;
      out += "    <Dish id=\"" + std::to_string(id) + "\" quantity=\"" + std::to_string(qty) +
             "\" price=\"" + std::to_string(price) + "\" name=\"" + names[pick(12)] + "\"";
      if (pick(3) == 0) {
        out += "><Modi id=\"" + std::to_string(900 + pick(20)) + "\" quantity=\"1000\"/></Dish>\n";
      } else {
        out += "/>\n";
      }
    }
    if (paid) {
      out += "    <Payments><Payment id=\"1\" amount=\"" + std::to_string(total) +
             "\" extTransactionInfo=\"web-tx-" + std::to_string(rng()) +
             "\" interface=\"site\"/></Payments>\n";
    }
    out += "  </Session>\n</Order>\n";
  }
  out.resize(bytes);
  return out;
}

// Runs `program` with stdin from `in` and stdout to `out`; returns the seconds it took.
double TimeProcess(const std::string& program, const std::vector<std::string>& options,
                   const std::string& in, const std::string& out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> words{program};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const Clock::time_point start = Clock::now();
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
  int status = 0;
  waitpid(pid, &status, 0);
  const double seconds = SecondsSince(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed (status " + std::to_string(status) + ")");
  }
  return seconds;
}

int RunLzw(const tArgs& args) {
  const std::string corpusFile = args.Need("corpus");
  const size_t bytes = static_cast<size_t>(args.Number("bytes", 10000000));
  const int repeat = static_cast<int>(std::max(1LL, args.Number("repeat", 3)));
  const std::string corpus = MakeCorpus(bytes);
  WriteFile(corpusFile, corpus);
  const double mb = static_cast<double>(corpus.size()) / 1e6;

  std::vector<double> comp, decomp;
  int64_t packedBytes = 0;
  for (int r = 0; r < repeat; ++r) {
    q2::tHeapMemStream source, packed, unpacked;
    source.WriteBuffer(corpus.data(), corpus.size());
    source.Seek(0, q2::tSeekOrigin::soBeginning);
    Clock::time_point t = Clock::now();
    if (q2::LzCompress(source, packed) != q2::kLzOk) throw std::runtime_error("LzCompress failed");
    comp.push_back(SecondsSince(t));
    packed.Seek(0, q2::tSeekOrigin::soBeginning);
    t = Clock::now();
    if (q2::LzDecompress(packed, unpacked) != q2::kLzOk) throw std::runtime_error("LzDecompress failed");
    decomp.push_back(SecondsSince(t));
    if (unpacked.SizeBytes() != static_cast<int64_t>(corpus.size()) ||
        std::memcmp(unpacked.Memory(), corpus.data(), corpus.size()) != 0) {
      throw std::runtime_error("LZW round trip differs from the corpus");
    }
    packedBytes = packed.SizeBytes();
  }

  const std::string zFile = corpusFile + ".Z", backFile = corpusFile + ".back";
  // compress with its default 16-bit codes, and with -b 12, the code width of the format above.
  std::vector<double> ncomp, nuncomp, ncomp12, nuncomp12;
  struct stat st{}, st12{};
  for (int r = 0; r < repeat; ++r) {
    ncomp.push_back(TimeProcess("/usr/bin/compress", {"-c"}, corpusFile, zFile));
    nuncomp.push_back(TimeProcess("/usr/bin/uncompress", {"-c"}, zFile, backFile));
  }
  if (ReadFile(backFile) != corpus) throw std::runtime_error("ncompress round trip differs");
  stat(zFile.c_str(), &st);
  for (int r = 0; r < repeat; ++r) {
    ncomp12.push_back(TimeProcess("/usr/bin/compress", {"-c", "-b", "12"}, corpusFile, zFile));
    nuncomp12.push_back(TimeProcess("/usr/bin/uncompress", {"-c"}, zFile, backFile));
  }
  if (ReadFile(backFile) != corpus) throw std::runtime_error("ncompress -b 12 round trip differs");
  stat(zFile.c_str(), &st12);
  std::remove(backFile.c_str());
  std::remove(zFile.c_str());

  std::printf("corpus_bytes=%zu\n", corpus.size());
  std::printf("lzw_packed_bytes=%lld\n", static_cast<long long>(packedBytes));
  std::printf("lzw_compress_mbps=%.1f\n", mb / Median(comp));
  std::printf("lzw_decompress_mbps=%.1f\n", mb / Median(decomp));
  std::printf("ncompress_packed_bytes=%lld\n", static_cast<long long>(st.st_size));
  std::printf("ncompress_compress_mbps=%.1f\n", mb / Median(ncomp));
  std::printf("ncompress_uncompress_mbps=%.1f\n", mb / Median(nuncomp));
  std::printf("ncompress12_packed_bytes=%lld\n", static_cast<long long>(st12.st_size));
  std::printf("ncompress12_compress_mbps=%.1f\n", mb / Median(ncomp12));
  std::printf("ncompress12_uncompress_mbps=%.1f\n", mb / Median(nuncomp12));
  std::printf("repeat=%d\n", repeat);
  return 0;
}

// ---- map ------------------------------------------------------------------------------

void PutLE(uint8_t* p, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes the map file; returns the live order ids.
std::vector<int32_t> WriteMapFile(const std::string& path, int records, bool ascending) {
  std::mt19937 rng(7);
  std::vector<int32_t> ids(static_cast<size_t>(records));
  for (int i = 0; i < records; ++i) ids[static_cast<size_t>(i)] = 100001 + i;
  if (!ascending) std::shuffle(ids.begin(), ids.end(), rng);
  const double now = q2::Now();
  const int old = records / 20;
  std::string data(static_cast<size_t>(records) * q2::kMapRecordSizeBytes, '\0');
  std::vector<int32_t> live;
  for (int i = 0; i < records; ++i) {
    uint8_t* rec = reinterpret_cast<uint8_t*>(&data[static_cast<size_t>(i) * q2::kMapRecordSizeBytes]);
    // Old records at the front (made 9 to 20 days ago), then every 19th one deleted; the
    // rest were made within the last 7 days.
    const bool isOld = i < old;
    const bool deleted = !isOld && i % 19 == 0;
    const double created = isOld ? now - 9 - (rng() % 11) - 0.5 : now - (rng() % 7000) / 1000.0;
    uint64_t bits = 0;
    std::memcpy(&bits, &created, sizeof bits);
    rec[0] = deleted ? 1 : 0;
    PutLE(rec + 1, bits, 8);
    PutLE(rec + 9, rng(), 4);
    PutLE(rec + 13, rng() & 0xFFFF, 2);
    PutLE(rec + 15, rng() & 0xFFFF, 2);
    PutLE(rec + 17, (uint64_t{rng()} << 32) | rng(), 8);
    PutLE(rec + 25, static_cast<uint32_t>(ids[static_cast<size_t>(i)]), 4);
    if (!isOld && !deleted) live.push_back(ids[static_cast<size_t>(i)]);
  }
  // On the disk before it is opened, so that the open's own flush covers only its changes.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
      fsync(fd) != 0) {
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
  close(fd);
  return live;
}

int RunMap(const tArgs& args) {
  const std::string file = args.Need("file");
  const int records = static_cast<int>(args.Number("records", 100000));
  const long long lookups = args.Number("lookups", 100000);
  const bool ascending = args.Get("order", "ascending") == "ascending";
  const int repeat = static_cast<int>(std::max(1LL, args.Number("repeat", 3)));
  std::vector<double> opens;
  std::vector<int32_t> live;
  int32_t indexed = 0;
  for (int r = 0; r < repeat; ++r) {
    live = WriteMapFile(file, records, ascending);
    // The file was just written: its pages are in the cache, as for a service restart.
    Clock::time_point t = Clock::now();
    q2::tMapList map(file);
    opens.push_back(SecondsSince(t));
    indexed = map.Count();
    if (r + 1 < repeat) continue;

    std::mt19937 rng(11);
    std::vector<int32_t> keys(static_cast<size_t>(lookups));
    for (auto& k : keys) k = live[rng() % live.size()];
    q2::tMapValue value;
    long long found = 0;
    t = Clock::now();
    for (int32_t k : keys) {
      map.Find(k, value);
      if (value.OrderId == k) ++found;
    }
    const double seconds = SecondsSince(t);
    if (found != lookups) throw std::runtime_error("a live order id was not found");
    std::printf("lookups=%lld\n", lookups);
    std::printf("lookups_per_second=%.0f\n", static_cast<double>(lookups) / seconds);
  }
  // Opened again, the file has nothing left to drop: reading and indexing alone.
  std::vector<double> reopens;
  for (int r = 0; r < repeat; ++r) {
    const Clock::time_point t = Clock::now();
    q2::tMapList map(file);
    reopens.push_back(SecondsSince(t));
  }
  if (indexed != static_cast<int32_t>(live.size())) {
    throw std::runtime_error("the index holds " + std::to_string(indexed) + " entries, expected " +
                             std::to_string(live.size()));
  }
  struct stat st{};
  stat(file.c_str(), &st);
  std::printf("records=%d\n", records);
  std::printf("order=%s\n", ascending ? "ascending" : "random");
  std::printf("indexed=%d\n", indexed);
  std::printf("bytes_after_open=%lld\n", static_cast<long long>(st.st_size));
  std::printf("open_ms=%.1f\n", Median(opens) * 1000);
  std::printf("reopen_ms=%.1f\n", Median(reopens) * 1000);
  std::printf("repeat=%d\n", repeat);
  return 0;
}

// ---- round trip -----------------------------------------------------------------------

int RunRtt(const tArgs& args) {
  const std::string address = args.Need("address");
  const int count = static_cast<int>(std::max(1LL, args.Number("count", 1000)));
  std::string request;
  q2::tZoltXML::BuildGetSystemInfo(request);
  const std::string text(request.c_str());  // the document up to its zero byte, as the service sends it
  auto call = [&]() {
    q2::tHeapMemStream reply;
    int32_t number = 0;
    std::string error;
    if (!q2::CallXmlTcp(address, "", text.data(), text.size(), number, reply, error)) {
      throw std::runtime_error("GetSystemInfo failed: " + error);
    }
    if (reply.Bytes().find("SystemInfo") == std::string::npos) {
      throw std::runtime_error("GetSystemInfo answer without SystemInfo");
    }
  };
  call();  // connects and does the handshake; not counted
  std::vector<double> us;
  us.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const Clock::time_point t = Clock::now();
    call();
    us.push_back(SecondsSince(t) * 1e6);
  }
  std::printf("calls=%d\n", count);
  std::printf("pooled_connections=%d\n", q2::IdleConnectionCount(address));
  std::printf("rtt_median_us=%.1f\n", Median(us));
  std::printf("rtt_p10_us=%.1f\n", Quantile(us, 0.10));
  std::printf("rtt_p90_us=%.1f\n", Quantile(us, 0.90));
  q2::FreeConnectionPool();
  return 0;
}

// ---- order files ----------------------------------------------------------------------

// kind 0: unpaid take-away, 1: paid take-away, 2: prepaid delivery.
std::string OrderDocument(int number, int kind) {
  const std::string n = std::to_string(number);
  std::string payments, delivery;
  if (kind >= 1) {
    payments = "<Payments><Payment id=\"1\" amount=\"78000\" extTransactionInfo=\"web-tx-" + n +
               "\" interface=\"site\"/></Payments>";
  }
  if (kind == 2) {
    delivery = "<Delivery deliveryState=\"1\" startTime=\"2026-12-10T18:00:00\" "
               "travelTime=\"1899-12-30T00:40:00\" deliveryTime=\"2026-12-10T19:00:00\" "
               "zoneID=\"2\" zoneName=\"Центр\" orderPrefix=\"D\"/>";
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<Order persistentComment=\"Позвонить за 10 минут\">\n"
         "  <OrderType id=\"2\"/>\n"
         "  <ExtSource source=\"120\" extID=\"" + n + "\"/>\n"
         "  <ExtSource source=\"{DF77A2D3-405D-4A5D-B8B6-4150533A2F1D}\" extID=\"site-" + n + "\"/>\n"
         "  " + delivery + "\n"
         "  <Session>\n"
         "    <Course code=\"1\"/>\n"
         "    " + payments + "\n"
         "    <Dish id=\"101\" quantity=\"2000\"><Modi id=\"902\" quantity=\"1000\"/></Dish>\n"
         "    <Dish id=\"201\" quantity=\"1000\"/>\n"
         "    <Combo id=\"7\" quantity=\"1000\">\n"
         "      <Component id=\"1\"><ComboModi id=\"55\" quantity=\"1000\"/></Component>\n"
         "      <Component id=\"2\"><ComboModi id=\"56\" quantity=\"1000\"/></Component>\n"
         "    </Combo>\n"
         "  </Session>\n"
         "</Order>\n";
}

std::string Slash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

void RenameInto(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    throw std::runtime_error("cannot rename " + from + " to " + to + ": " + std::strerror(errno));
  }
}

int RunOrders(const tArgs& args) {
  const std::string stage = Slash(args.Need("stage")), into = Slash(args.Need("into"));
  const int count = static_cast<int>(args.Number("count", 1000));
  const int first = static_cast<int>(args.Number("first", 100001));
  int kinds[3] = {0, 0, 0};
  for (int i = 0; i < count; ++i) {
    const int kind = i % 3;
    ++kinds[kind];
    WriteFile(stage + std::to_string(first + i) + ".xml", OrderDocument(first + i, kind));
  }
  for (int i = 0; i < count; ++i) {
    const std::string name = std::to_string(first + i) + ".xml";
    RenameInto(stage + name, into + name);
  }
  std::printf("orders=%d\nunpaid=%d\npaid=%d\ndelivery=%d\n", count, kinds[0], kinds[1], kinds[2]);
  return 0;
}

// ---- journal watching -----------------------------------------------------------------

// Watches a growing file: wakes on inotify IN_MODIFY, and looks at least every 10 ms.
class tGrowthWatch {
 public:
  explicit tGrowthWatch(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    ino_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ino_ >= 0) inotify_add_watch(ino_, path.c_str(), IN_MODIFY);
  }
  ~tGrowthWatch() {
    if (ino_ >= 0) close(ino_);
    close(fd_);
  }
  int64_t Size() const {
    struct stat st{};
    fstat(fd_, &st);
    return st.st_size;
  }
  // Waits until the size exceeds `size`; false at the deadline.
  bool WaitBeyond(int64_t size, Clock::time_point deadline) {
    while (Size() <= size) {
      if (Clock::now() >= deadline) return false;
      if (ino_ >= 0) {
        pollfd p{ino_, POLLIN, 0};
        // inotify wakes at once; the time limit is only a fallback.
        if (poll(&p, 1, 10) > 0) Drain();
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    return true;
  }
  // The number of complete lines in the file.
  int64_t Lines() const {
    int64_t lines = 0;
    char buf[65536];
    off_t off = 0;
    for (;;) {
      const ssize_t got = pread(fd_, buf, sizeof buf, off);
      if (got <= 0) break;
      lines += std::count(buf, buf + got, '\n');
      off += got;
    }
    return lines;
  }
  // The text from `offset` to the end.
  std::string From(int64_t offset) const {
    std::string out;
    char buf[65536];
    for (;;) {
      const ssize_t got = pread(fd_, buf, sizeof buf, static_cast<off_t>(offset));
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
      offset += got;
    }
    return out;
  }

 private:
  void Drain() {
    char buf[4096];
    while (read(ino_, buf, sizeof buf) > 0) {
    }
  }
  std::string path_;
  int fd_ = -1;
  int ino_ = -1;
};

int RunWaitJournal(const tArgs& args) {
  const std::string path = args.Need("journal");
  const int64_t after = args.Number("after", 0);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(args.Number("timeout", 120));
  tGrowthWatch watch(path);
  for (;;) {
    const int64_t size = watch.Size();
    if (watch.Lines() > after) break;
    if (!watch.WaitBeyond(size, deadline)) {
      std::fprintf(stderr, "q2bench: no new journal line within the timeout\n");
      return 1;
    }
  }
  std::printf("seen_at=%.6f\n", WallSeconds());
  return 0;
}

int RunPickup(const tArgs& args) {
  const std::string stage = Slash(args.Need("stage")), into = Slash(args.Need("into"));
  const std::string filed = Slash(args.Need("filed"));
  const int count = static_cast<int>(args.Number("count", 20));
  const int first = static_cast<int>(args.Number("first", 200001));
  const int maxDelayMs = static_cast<int>(args.Number("max-delay-ms", 5000));
  const auto timeout = std::chrono::seconds(args.Number("timeout", 60));
  std::mt19937 rng(static_cast<uint32_t>(args.Number("seed", 1)));
  tGrowthWatch journal(args.Need("journal"));
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    const int number = first + i;
    const std::string name = std::to_string(number) + ".xml";
    WriteFile(stage + name, OrderDocument(number, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % static_cast<uint32_t>(maxDelayMs + 1)));
    const int64_t before = journal.Size();
    RenameInto(stage + name, into + name);
    const Clock::time_point renamed = Clock::now();
    if (!journal.WaitBeyond(before, renamed + timeout)) {
      std::fprintf(stderr, "q2bench: no request for %s within the timeout\n", name.c_str());
      return 1;
    }
    const double latency = SecondsSince(renamed) * 1000;
    // The order is filed (it was validated) before the next one is dropped.
    const Clock::time_point deadline = Clock::now() + timeout;
    struct stat st{};
    while (stat((filed + name).c_str(), &st) != 0) {
      if (Clock::now() >= deadline) {
        std::fprintf(stderr, "q2bench: %s was not filed within the timeout\n", name.c_str());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (journal.From(before).find("\tValidateOrder\t") == std::string::npos) {
      std::fprintf(stderr, "q2bench: no ValidateOrder request after %s\n", name.c_str());
      return 1;
    }
    ms.push_back(latency);
    std::printf("file_%d_ms=%.1f\n", i + 1, latency);
    std::fflush(stdout);
  }
  std::printf("files=%d\n", count);
  std::printf("pickup_median_ms=%.1f\n", Median(ms));
  std::printf("pickup_min_ms=%.1f\n", *std::min_element(ms.begin(), ms.end()));
  std::printf("pickup_max_ms=%.1f\n", *std::max_element(ms.begin(), ms.end()));
  return 0;
}

const char* const kUsage =
    "usage: q2bench lzw --corpus FILE [--bytes N] [--repeat R]\n"
    "       q2bench map --file FILE [--records N] [--lookups L] [--order ascending|random] [--repeat R]\n"
    "       q2bench rtt --address HOST:PORT [--count N]\n"
    "       q2bench orders --stage DIR --into DIR [--count N] [--first NUMBER]\n"
    "       q2bench wait-journal --journal FILE [--after LINES] [--timeout S]\n"
    "       q2bench pickup --stage DIR --into DIR --filed DIR --journal FILE [--count N]\n"
    "                      [--first NUMBER] [--max-delay-ms MS] [--seed S] [--timeout S]\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  const std::map<std::string, std::function<int(const tArgs&)>> commands = {
      {"lzw", RunLzw},       {"map", RunMap},
      {"rtt", RunRtt},       {"orders", RunOrders},
      {"wait-journal", RunWaitJournal}, {"pickup", RunPickup}};
  auto it = commands.find(command);
  if (it == commands.end()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  tArgs args;
  try {
    args = ParseArgs(argc, argv, 2);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "q2bench: %s\n%s", e.what(), kUsage);
    return 2;
  }
  try {
    return it->second(args);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "q2bench: %s\n%s", e.what(), kUsage);
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "q2bench %s: %s\n", command.c_str(), e.what());
    return 1;
  }
}
