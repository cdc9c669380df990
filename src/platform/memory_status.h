// How much memory the process has and uses, for failure reports of memory that cannot be
// grown.
#pragma once

#include <cstdint>

namespace q2 {

struct tMemoryFigures {
  int64_t availVirtual = 0;     // address space left (the RLIMIT_AS limit or 2^47 less used)
  int64_t virtualOccupied = 0;  // address space in use
  int64_t heapAllocated = 0;    // bytes the allocator has handed out
  int64_t heapAddrSpace = 0;    // bytes the allocator holds from the system
};

tMemoryFigures ProcessMemoryFigures();

}  // namespace q2
