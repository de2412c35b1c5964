// Frames: the values of several signals at the sample indices where any of them changes, the
// shape in which analysis tools (NumPy, pandas, Arrow) take data. Built from the columns' change
// points, so the cost follows the changes, not indices times signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "signal/store.h"

namespace tarn::query {

// The rows of a frame over the indices [start, end): `start` itself, then every index where the
// value of any column differs from its value at the index before (strict value equality, as
// `transitions` counts changes), ascending. A null column holds no values. Empty when
// start >= end. Columns are walked on the worker pool.
std::vector<uint64_t> frame_rows(const std::vector<const Column*>& columns, uint64_t start,
                                 uint64_t end);

// For each of the ascending `rows`, the segment of `column` holding it: its run, or Column::npos
// where the value is Missing (before the first run, from end() on, or a null column).
void segments_at(const Column* column, const std::vector<uint64_t>& rows, size_t* out);

}  // namespace tarn::query
