#include "worker/insert_stream.h"

#include <stdexcept>
#include <vector>

namespace q2 {

void InsertIntoStream(const std::string& text, tFileHandle& file, int64_t position) {
  constexpr int64_t kBlockBytes = 1024;
  const int64_t n = static_cast<int64_t>(text.size());
  int64_t size = 0;
  if (!file.Size(&size)) throw std::runtime_error(LastErrorText());
  std::vector<char> block(kBlockBytes);
  for (int64_t end = size; end > position; end -= kBlockBytes) {
    int64_t start = end - kBlockBytes < position ? position : end - kBlockBytes;
    size_t count = static_cast<size_t>(end - start);
    size_t got = 0;
    if (!file.ReadAt(start, block.data(), count, &got) || got != count) {
      throw std::runtime_error("Stream read error: " + LastErrorText());
    }
    if (!file.WriteAt(start + n, block.data(), count)) {
      throw std::runtime_error("Stream write error: " + LastErrorText());
    }
  }
  if (!file.WriteAt(position, text.data(), text.size())) {
    throw std::runtime_error("Stream write error: " + LastErrorText());
  }
}

}  // namespace q2
