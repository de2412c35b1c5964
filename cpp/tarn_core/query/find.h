// Searches: the sample indices at which an expression holds.
//
// The value of an expression can only change at an index where one of its leaves changes (a run
// of its signal starts or ends, shifted by the leaf's relative offset) or where a relative
// evaluation enters or leaves the trace. A search therefore visits only those break points,
// evaluates the tree once at each, and takes the whole stretch up to the next break point as
// matching or not. The answer is exactly that of evaluating at every index.
#pragma once

#include <cstdint>
#include <vector>

#include "query/expr.h"
#include "trace/trace.h"

namespace tarn::query {

// Ascending indices in 0..max_index() at which the expression is true.
std::vector<uint64_t> find(const Trace& trace, const Expr& expr);

// The same answers, computed on the worker pool. `piece` is the number of indices per task
// (0 chooses from the trace length and the number of workers).
std::vector<uint64_t> parallel_find(const Trace& trace, const Expr& expr, uint64_t piece = 0);
uint64_t parallel_count(const Trace& trace, const Expr& expr, uint64_t piece = 0);
// parallel_find's answer as consecutive ascending pieces, before they are joined.
std::vector<std::vector<uint64_t>> parallel_find_pieces(const Trace& trace, const Expr& expr,
                                                        uint64_t piece = 0);

// Reference: evaluates the tree at every index through the trace's per-index lookup. Slow; kept
// to check the searches against the definition.
std::vector<uint64_t> find_per_index(const Trace& trace, const Expr& expr);

}  // namespace tarn::query
