// Change queries: which signals changed at one index, and every change of one signal; and
// snapshots, the value of every signal at one index.
//
// Change detection uses strict value equality: same variant and equal payload, reals compared
// numerically (so a NaN never equals anything, itself included, and 0.0 equals -0.0). There is
// no numeric comparison across variants here: Int 5 differs from the Logic vector 101.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signal/store.h"
#include "signal/value.h"
#include "trace/trace.h"

namespace tarn::query {

bool values_equal(const SignalValue& a, const SignalValue& b);

struct ChangeRecord {
    std::string name;
    SignalValue old_value, new_value;
};

struct TransitionRecord {
    uint64_t index;
    SignalValue old_value, new_value;
};

// Signals whose value at index - 1 and index differ, in signal_names() order (aliases appear
// under each of their names). Empty at index 0. Runs on the worker pool.
std::vector<ChangeRecord> changed_at(const Trace& trace, uint64_t index);
// The same for names under `scope` (see name_below).
std::vector<ChangeRecord> changed_at_scope(const Trace& trace, uint64_t index,
                                           std::string_view scope);
// Every index i in 1..max_index where the signal's value differs from the one at i - 1,
// ascending. Empty for an unknown name.
std::vector<TransitionRecord> transitions(const Trace& trace, std::string_view name);

// The part of `name` below `scope`: what follows scope + ".", or nothing when the name does not
// begin with that (so the empty scope holds the names that begin with ".").
std::optional<std::string_view> name_below(std::string_view name, std::string_view scope);

// One signal of a snapshot: its key and where its value is.
struct SnapshotEntry {
    std::string_view key;  // the name, or its part below the scope; a view into the trace
    const Column* column;
    size_t run;  // the run holding the value; Column::npos when the value is Missing
};

// The value of every name at `index`, in signal_names() order (aliases appear under each of
// their names; a name without a signal is left out). With a scope: the names under it, keyed by
// their part below it. Reads one run per name, on the calling thread.
std::vector<SnapshotEntry> snapshot(const Trace& trace, uint64_t index,
                                    std::optional<std::string_view> scope = std::nullopt);

// ---- Walking a column by segments ----
//
// The values of one signal over indices [0, n) are a sequence of segments [start, stop) each
// holding one stored value: a run of the column, or Column::npos for the Missing stretches
// before the first run and from end() on. Queries that would visit every index visit segments
// instead, so their cost follows the number of changes.

// True when segments a and b (runs of `c`, or npos for Missing) hold equal values. A segment
// compared with itself is unequal only when it holds a NaN.
bool segments_equal(const Column* c, size_t a, size_t b);

// Calls f(start, stop, run) for each segment covering [0, n), in order.
template <class F>
void for_each_segment(const Column* c, uint64_t n, F&& f) {
    uint64_t pos = 0;
    if (c && c->num_runs() && n > 0) {
        uint64_t first = c->run_start(0);
        if (first > 0) {
            uint64_t stop = first < n ? first : n;
            f(uint64_t(0), stop, Column::npos);
            pos = stop;
        }
        for (size_t r = 0; r < c->num_runs() && pos < n; ++r) {
            uint64_t stop = c->run_stop(r);
            if (stop > n) stop = n;
            if (stop <= pos) continue;
            f(pos, stop, r);
            pos = stop;
        }
    }
    if (pos < n) f(pos, n, Column::npos);
}

// Walks the changes of a column over [0, n): on_segment(start, stop, run) for every segment and
// on_change(index, from_run, to_run) for every index whose value differs from its predecessor's
// (inside a NaN segment, from_run == to_run). Both are called in index order.
template <class Seg, class Chg>
void walk_changes(const Column* c, uint64_t n, Seg&& on_segment, Chg&& on_change) {
    bool first = true;
    size_t prev = Column::npos;
    for_each_segment(c, n, [&](uint64_t start, uint64_t stop, size_t r) {
        if (!first && !segments_equal(c, prev, r)) on_change(start, prev, r);
        on_segment(start, stop, r);
        if (stop - start > 1 && !segments_equal(c, r, r))
            for (uint64_t i = start + 1; i < stop; ++i) on_change(i, r, r);
        first = false;
        prev = r;
    });
}

}  // namespace tarn::query
