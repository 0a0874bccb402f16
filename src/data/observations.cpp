#include "observations.hpp"

#include <algorithm>
#include <limits>

namespace tarvane {

namespace {

// The open coordinates of a subset, outermost first: open[i] is at level i + 1.
struct Levels {
  std::vector<int32_t> open;
  int32_t current = 0;

  void meet(int32_t id) {
    const auto found = std::find(open.begin(), open.end(), id);
    if (found == open.end()) {
      open.push_back(id);
      current = static_cast<int32_t>(open.size());
    } else {
      current = static_cast<int32_t>(found - open.begin()) + 1;
      open.resize(static_cast<size_t>(current));
    }
  }
};

// The observation being gathered: the record of each key and the keys in
// the order they were met.
struct Gathering {
  std::vector<int64_t> row;
  std::vector<int32_t> level_of;
  std::vector<size_t> order;
  bool fresh = false;

  explicit Gathering(size_t keys) : row(keys, -1), level_of(keys, 0) {}

  void emit(std::vector<int64_t>& rows) {
    if (fresh) rows.insert(rows.end(), row.begin(), row.end());
    fresh = false;
  }
  void restart() {
    std::fill(row.begin(), row.end(), -1);
    order.clear();
    fresh = false;
  }
  // Drops the keys gathered deeper than level: their level is complete.
  void back_out_to(int32_t level, std::vector<int64_t>& rows) {
    bool deeper = false;
    for (size_t k : order) deeper = deeper || level_of[k] > level;
    if (!deeper) return;
    emit(rows);
    std::erase_if(order, [&](size_t k) {
      if (level_of[k] <= level) return false;
      row[k] = -1;
      return true;
    });
  }
  void add(size_t key, int64_t record, int32_t level, std::vector<int64_t>& rows) {
    if (row[key] >= 0) {
      if (level_of[key] == level) emit(rows);
      const auto cut = std::find(order.begin(), order.end(), key);
      for (auto it = cut; it != order.end(); ++it) row[*it] = -1;
      order.erase(cut, order.end());
    }
    row[key] = record;
    order.push_back(key);
    level_of[key] = level;
    fresh = true;
  }
};

}  // namespace

std::vector<int64_t> observation_rows(std::span<const uint32_t> subset, std::span<const int32_t> which,
                                      std::span<const int32_t> coordinate, size_t keys) {
  std::vector<int64_t> rows;
  const size_t n = std::min({subset.size(), which.size(), coordinate.size()});
  if (keys == 0) return rows;
  Levels levels;
  Gathering gathering(keys);
  // The shallowest level met since the previous requested record.
  int32_t shallowest = std::numeric_limits<int32_t>::max();
  bool started = false;
  uint32_t number = 0;   // the subset of the last record
  uint32_t gathered = 0; // the subset of the last requested record
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || subset[i] != number) {
      levels = Levels{};
      number = subset[i];
    }
    if (coordinate[i] >= 0) levels.meet(coordinate[i]);
    shallowest = std::min(shallowest, levels.current);
    const int32_t key = which[i];
    if (key < 0 || static_cast<size_t>(key) >= keys) continue;
    if (!started || subset[i] != gathered) {
      gathering.emit(rows);
      gathering.restart();
      started = true;
      gathered = subset[i];
    } else {
      gathering.back_out_to(shallowest, rows);
    }
    gathering.add(static_cast<size_t>(key), static_cast<int64_t>(i), levels.current, rows);
    shallowest = std::numeric_limits<int32_t>::max();
  }
  gathering.emit(rows);
  return rows;
}

}  // namespace tarvane
