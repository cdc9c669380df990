#include "platform/memory_status.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace q2 {

namespace {
// Address space of a 64-bit Linux process when no RLIMIT_AS is set (47 bits).
constexpr int64_t kUserAddressSpaceBytes = int64_t{1} << 47;
}  // namespace

tMemoryFigures ProcessMemoryFigures() {
  tMemoryFigures f;
  int64_t total = kUserAddressSpaceBytes;
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    total = static_cast<int64_t>(limit.rlim_cur);
  }
  long long pages = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%lld", &pages) != 1) pages = 0;
    std::fclose(statm);
  }
  f.virtualOccupied = pages * sysconf(_SC_PAGESIZE);
  f.availVirtual = total - f.virtualOccupied;
  struct mallinfo2 info = mallinfo2();
  f.heapAllocated = static_cast<int64_t>(info.uordblks + info.hblkhd);
  f.heapAddrSpace = static_cast<int64_t>(info.arena + info.hblkhd);
  return f;
}

}  // namespace q2
