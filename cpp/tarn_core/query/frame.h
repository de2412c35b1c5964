// Frames: the values of several signals at the sample indices where any of them changes, the
// shape in which analysis tools (NumPy, pandas, Arrow) take data. Built from the columns' change
// points, so the cost follows the changes, not indices times signals.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "query/changes.h"
#include "signal/store.h"

namespace tarn::query {

// The rows of a frame over the indices [start, end): `start` itself, then every index where the
// value of any column differs from its value at the index before (strict value equality, as
// `transitions` counts changes), ascending. A null column holds no values. Empty when
// start >= end. Columns are walked on the worker pool.
std::vector<uint64_t> frame_rows(const std::vector<const Column*>& columns, uint64_t start,
                                 uint64_t end);

// Calls f(first, last, segment) for each stretch rows[first, last) of the ascending `rows` that
// lies in one segment of `column`, in order: the segment is its run, or Column::npos where the
// value is Missing (before the first run, from end() on, or a null column). A frame's column
// decodes one value per stretch and fills the stretch with it.
template <class F>
void row_segments(const Column* column, const std::vector<uint64_t>& rows, F&& f) {
    if (rows.empty()) return;
    size_t k = 0;
    for_each_segment(column, rows.back() + 1, [&](uint64_t, uint64_t stop, size_t r) {
        size_t first = k;
        while (k < rows.size() && rows[k] < stop) ++k;
        if (k > first) f(first, k, r);
    });
    if (k < rows.size()) f(k, rows.size(), Column::npos);
}

}  // namespace tarn::query
