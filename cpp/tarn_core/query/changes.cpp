#include "query/changes.h"

#include <algorithm>

#include "util/interrupt.h"
#include "util/pool.h"

namespace tarn::query {

bool values_equal(const SignalValue& a, const SignalValue& b) {
    if (a.tag() != b.tag()) return false;
    // Numeric comparison for reals; the variant's own == compares every other payload exactly.
    if (a.tag() == Tag::Real) return a.as_real() == b.as_real();
    return a.v == b.v;
}

namespace {

Tag segment_tag(const Column* c, size_t r) {
    return r == Column::npos ? Tag::Missing : c->run_tag(r);
}

SignalValue segment_value(const Column* c, size_t r) {
    return r == Column::npos ? SignalValue::missing() : c->run_value(r);
}

// Whether the value at index - 1 differs from the one at index (index >= 1).
bool changes_at(const Column* c, uint64_t index) {
    if (!c) return false;
    return !segments_equal(c, c->find_run(index - 1), c->find_run(index));
}

// The change records at `index` of every name accepted by `keep`. The names are split into
// chunks over the worker pool; each chunk collects its own records and the chunks are joined in
// name-list order, so the result does not depend on how the work was scheduled.
template <class Keep>
std::vector<ChangeRecord> changes_over_names(const Trace& trace, uint64_t index, Keep&& keep) {
    std::vector<ChangeRecord> out;
    if (index == 0) return out;
    const auto& names = trace.signal_names();
    const size_t n = names.size();
    if (n == 0) return out;
    // Enough chunks to balance the workers, few enough that scheduling stays cheap.
    const size_t chunk = std::max<size_t>(512, (n + 8 * worker_count() - 1) / (8 * worker_count()));
    const size_t chunks = (n + chunk - 1) / chunk;
    std::vector<std::vector<ChangeRecord>> parts(chunks);
    parallel_for(chunks, [&](size_t k) {
        size_t lo = k * chunk, hi = std::min(n, lo + chunk);
        auto& part = parts[k];
        InterruptPoll<1024> poll;
        for (size_t i = lo; i < hi; ++i) {
            if (poll()) return;
            const std::string& name = names[i];
            if (!keep(name)) continue;
            auto id = trace.signal_id(name);
            if (!id) continue;
            const Column* c = trace.column(*id);
            if (!changes_at(c, index)) continue;
            part.push_back({name, c->get(index - 1), c->get(index)});
        }
    });
    size_t total = 0;
    for (const auto& p : parts) total += p.size();
    out.reserve(total);
    for (auto& p : parts)
        for (auto& rec : p) out.push_back(std::move(rec));
    return out;
}

}  // namespace

bool segments_equal(const Column* c, size_t a, size_t b) {
    Tag ta = segment_tag(c, a), tb = segment_tag(c, b);
    if (ta != tb) return false;
    switch (ta) {
        case Tag::Missing:
            return true;
        case Tag::Real:
            return c->run_value(a).as_real() == c->run_value(b).as_real();
        case Tag::Int:
            return c->run_int(a) == c->run_int(b);
        default:
            return a == b || c->runs_identical(a, b);
    }
}

std::vector<ChangeRecord> changed_at(const Trace& trace, uint64_t index) {
    return changes_over_names(trace, index, [](const std::string&) { return true; });
}

std::vector<ChangeRecord> changed_at_scope(const Trace& trace, uint64_t index,
                                           std::string_view scope) {
    return changes_over_names(
        trace, index, [&](const std::string& name) { return name_below(name, scope).has_value(); });
}

std::optional<std::string_view> name_below(std::string_view name, std::string_view scope) {
    if (name.size() <= scope.size() || !name.starts_with(scope) || name[scope.size()] != '.')
        return std::nullopt;
    return name.substr(scope.size() + 1);
}

std::vector<SnapshotEntry> snapshot(const Trace& trace, uint64_t index,
                                    std::optional<std::string_view> scope) {
    std::vector<SnapshotEntry> out;
    for (const std::string& name : trace.signal_names()) {
        std::optional<std::string_view> key(name);
        if (scope) key = name_below(name, *scope);
        if (!key) continue;
        auto id = trace.signal_id(name);
        if (!id) continue;
        const Column* c = trace.column(*id);
        out.push_back({*key, c, c ? c->find_run(index) : Column::npos});
    }
    return out;
}

std::vector<TransitionRecord> transitions(const Trace& trace, std::string_view name) {
    std::vector<TransitionRecord> out;
    auto id = trace.signal_id(name);
    if (!id) return out;
    const Column* c = trace.column(*id);
    InterruptPoll<4096> poll;
    bool stop = false;
    walk_changes(
        c, trace.max_index() + 1, [](uint64_t, uint64_t, size_t) {},
        [&](uint64_t i, size_t from, size_t to) {
            if (stop || (stop = poll())) return;  // interrupted: the caller discards the rest
            out.push_back({i, segment_value(c, from), segment_value(c, to)});
        });
    return out;
}

}  // namespace tarn::query
