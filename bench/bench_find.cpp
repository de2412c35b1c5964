// Engine-level search timings: the change-point search against evaluating the tree at every
// index, and sequential against parallel. Builds its own trace in memory, deterministically.
//
//   cmake -S . -B build -DTARN_BUILD_BENCH=ON && cmake --build build -j2 --target bench_find
//   ./build/bench_find [time stamps, default 5000000]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "query/expr.h"
#include "query/find.h"
#include "util/pool.h"

using namespace tarn;
using query::Expr;
using query::ExprKind;
using query::ExprPtr;

namespace {

// Signal k changes at each index with probability rate[k], to a random value below 2^width[k].
Trace make_trace(uint64_t n, const std::vector<std::pair<double, int>>& sigs) {
    TraceData d;
    std::mt19937_64 rng(1);
    d.timestamps.resize(n);
    for (uint64_t i = 0; i < n; ++i) d.timestamps[i] = i;
    for (size_t s = 0; s < sigs.size(); ++s) {
        auto [rate, width] = sigs[s];
        std::bernoulli_distribution change(rate);
        for (uint64_t i = 0; i < n; ++i)
            if (i == 0 || change(rng)) d.store.append_int(s, i, rng() & ((1ULL << width) - 1));
    }
    d.store.finish(n);
    return Trace(std::move(d));
}

double best_ms(int repeat, const std::function<void()>& f) {
    double best = 1e100;
    for (int r = 0; r < repeat; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        auto dt = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0);
        best = std::min(best, dt.count());
    }
    return best;
}

// The tree evaluated at every index, leaves read through per-leaf cursors (no skipping).
uint64_t count_every_index(const Trace& t, const Expr& e) {
    query::Program p(t, e);
    const auto& leaves = p.leaves();
    std::vector<const Column*> cols;
    std::vector<size_t> runs(leaves.size(), 0);
    std::vector<query::Val> vals(leaves.size());
    std::vector<query::Val> regs;
    for (auto& l : leaves) cols.push_back(t.column(l.id));
    uint64_t count = 0;
    for (uint64_t i = 0, m = t.max_index(); i <= m; ++i) {
        for (size_t k = 0; k < leaves.size(); ++k) {
            __int128 at = __int128(i) + leaves[k].offset;
            const Column* c = cols[k];
            if (at < 0 || !c || at >= __int128(c->end()) || at < c->run_start(0)) {
                vals[k] = query::Val::missing();
                continue;
            }
            while (runs[k] + 1 < c->num_runs() && c->run_start(runs[k] + 1) <= uint64_t(at))
                ++runs[k];
            vals[k] = query::Val::make_int(c->run_int(runs[k]));
        }
        count += p.run(i, vals.data(), regs).truth;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 5000000;
    // a (8-bit), b (4-bit), both changing at 30% of indices; c0..c7 (1-bit, 2% to 30%).
    std::vector<std::pair<double, int>> sigs = {{0.3, 8}, {0.3, 4}};
    for (int k = 0; k < 8; ++k) sigs.push_back({0.02 + 0.04 * k, 1});
    // p, q, r: quieter signals (1%, 1%, 0.5%), as most of a real design is.
    sigs.push_back({0.01, 4});
    sigs.push_back({0.01, 4});
    sigs.push_back({0.005, 1});
    Trace t = make_trace(n, sigs);
    std::printf("%llu time stamps, %zu workers\n", (unsigned long long)n, worker_count());

    auto sig = [](uint64_t id) { return Expr::signal(id); };
    auto bin = [](ExprKind k, ExprPtr a, ExprPtr b) { return Expr::binary(k, a, b); };
    auto c = [&](int k) { return sig(2 + k); };
    struct Query {
        const char* label;
        ExprPtr e;
    };
    std::vector<Query> queries = {
        {"(a) a == 0x5a", bin(ExprKind::Eq, sig(0), Expr::constant(SignalValue::make_int(0x5a)))},
        {"(b) (a & 0xf) == b[-1]",
         bin(ExprKind::Eq, bin(ExprKind::BitAnd, sig(0), Expr::constant(SignalValue::make_int(15))),
             Expr::rel_eval(sig(1), -1))},
        {"(c) and/or tree, 8 signals",
         bin(ExprKind::And,
             bin(ExprKind::And,
                 bin(ExprKind::Or, bin(ExprKind::And, c(0), c(1)), bin(ExprKind::And, c(2), c(3))),
                 bin(ExprKind::Or, c(4), c(5))),
             bin(ExprKind::Or, c(6), c(7)))},
        {"(d) p == q || r, quiet", bin(ExprKind::Or, bin(ExprKind::Eq, sig(10), sig(11)), sig(12))},
    };
    std::printf("%-28s %9s %9s %9s %10s %12s %12s\n", "query", "matches", "find", "par_find",
                "par_count", "every_index", "per_index");
    for (auto& q : queries) {
        size_t matches = 0;
        double f = best_ms(3, [&] { matches = query::find(t, *q.e).size(); });
        double pf = best_ms(3, [&] { query::parallel_find(t, *q.e); });
        double pc = best_ms(3, [&] { query::parallel_count(t, *q.e); });
        uint64_t every = 0, naive = 0;
        double ev = best_ms(1, [&] { every = count_every_index(t, *q.e); });
        double pi = best_ms(1, [&] { naive = query::find_per_index(t, *q.e).size(); });
        if (every != matches || naive != matches) std::printf("MISMATCH\n");
        std::printf("%-28s %9zu %7.1fms %7.1fms %8.1fms %10.1fms %10.1fms\n", q.label, matches, f,
                    pf, pc, ev, pi);
    }
}
