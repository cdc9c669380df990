// The idle-connection list.
#include "transport/connection_pool.h"

#include <algorithm>
#include <cctype>

namespace q2 {
namespace {

int CompareNoCase(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const int ca = std::tolower(static_cast<unsigned char>(a[i]));
    const int cb = std::tolower(static_cast<unsigned char>(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

int tConnects::Find(const std::string& name) const {
  const auto it = std::lower_bound(
      rows_.begin(), rows_.end(), name,
      [](const auto& row, const std::string& key) { return CompareNoCase(row.first, key) < 0; });
  if (it == rows_.end() || CompareNoCase(it->first, name) != 0) return -1;
  return static_cast<int>(it - rows_.begin());
}

int tConnects::CountOf(const std::string& name) const {
  int count = 0;
  for (const auto& row : rows_) count += CompareNoCase(row.first, name) == 0;
  return count;
}

tSocket tConnects::CloseConnect(int index) {
  const auto it = rows_.begin() + index;
  tSocket socket = std::move(it->second->Socket);
  rows_.erase(it);
  return socket;
}

void tConnects::AddConnect(const std::string& name, std::unique_ptr<tConnectInfo> info) {
  const auto it = std::upper_bound(
      rows_.begin(), rows_.end(), name,
      [](const std::string& key, const auto& row) { return CompareNoCase(key, row.first) < 0; });
  rows_.emplace(it, name, std::move(info));
}

}  // namespace q2
