// Where the requested keys of decoded records meet: one row per
// observation, following the replication structure the coordinates show.
//
// Records are read in order, keeping the latest record of each key. A key
// met again starts a new observation: the one gathered so far becomes a
// row, and the repeated key and every key met after it are dropped, while
// the keys met before it (the station, the time, an enclosing level) stay
// for the rows that follow. Coordinates (elements of classes 1 to 9) give
// each record a depth: one met for the first time in its subset opens a
// level below the current one, one met again goes back to its level.
// Backing out of a level completes what was gathered inside it. A subset
// starts afresh. This is how the established pandas reader forms its rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarvane {

// subset: per record, its subset (records run subset after subset; any
// change starts a new one). which: per record, the key it is (0 to
// keys - 1), or -1 for none; others count as none. coordinate: per record,
// an id of its descriptor where it is a coordinate, or -1.
// Returns keys entries per row: the record that fills each key, -1 where
// none does.
std::vector<int64_t> observation_rows(std::span<const uint32_t> subset, std::span<const int32_t> which,
                                      std::span<const int32_t> coordinate, size_t keys);

}  // namespace tarvane
