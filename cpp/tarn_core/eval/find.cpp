#include "eval/find.h"

#include <algorithm>

#include "eval/pool.h"
#include "util/interrupt.h"

namespace tarn::eval {

namespace {

constexpr __int128 kNever = __int128(1) << 100;  // beyond every index

// Walks one index range, visiting only the break points of the program (see find.h).
class Sweep {
  public:
    explicit Sweep(const Program& p) : p_(p) {
        const auto& leaves = p.leaves();
        cursors_.resize(leaves.size());
        vals_.resize(leaves.size());
        for (size_t k = 0; k < leaves.size(); ++k) {
            cursors_[k].col = p.trace().column(leaves[k].id);
            cursors_[k].offset = leaves[k].offset;
            if (cursors_[k].col && cursors_[k].col->num_runs() == 0) cursors_[k].col = nullptr;
        }
        // A RelEval with total offset d starts reading inside the trace at i = -d and leaves
        // it at i = max + 1 - d.
        const __int128 end = __int128(p.trace().max_index()) + 1;
        for (__int128 d : p.windows()) {
            for (__int128 b : {-d, end - d})
                if (b > 0 && b < end) bounds_.push_back(uint64_t(b));
        }
        std::sort(bounds_.begin(), bounds_.end());
        bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
    }

    // Calls emit(begin, end) for every maximal stretch [begin, end) inside [lo, hi] where the
    // expression is true, in ascending order. Stops early when the operation is interrupted.
    template <class Emit>
    void run(uint64_t lo, uint64_t hi, Emit&& emit) {
        for (size_t k = 0; k < cursors_.size(); ++k) {
            cursors_[k].run = Column::npos;
            seek(k, lo);
        }
        auto b = std::upper_bound(bounds_.begin(), bounds_.end(), lo);
        const __int128 stop = __int128(hi) + 1;
        uint64_t i = lo;
        for (;;) {
            bool hit = p_.run(i, vals_.data(), regs_).truth;
            __int128 next = stop;
            for (const Cursor& c : cursors_) next = std::min(next, c.next);
            if (b != bounds_.end()) next = std::min(next, __int128(*b));
            if (hit) emit(i, uint64_t(next));
            if (next >= stop) break;
            // Poll for Ctrl-C by the work done (instructions run, indices emitted).
            work_ += p_.code().size() + cursors_.size() +
                     (hit ? uint64_t(std::min<__int128>(next - i, kPollWork)) : 0);
            if (work_ >= kPollWork) {
                work_ = 0;
                if (interrupted()) break;
            }
            i = uint64_t(next);
            while (b != bounds_.end() && *b <= i) ++b;
            for (size_t k = 0; k < cursors_.size(); ++k)
                if (cursors_[k].next <= i) seek(k, i);
        }
    }

  private:
    struct Cursor {
        const Column* col = nullptr;
        __int128 offset = 0;
        size_t run = Column::npos;
        __int128 next = kNever;  // next index at which the leaf may change
        SignalValue held;        // the value of a run that is not an Int
    };

    // Positions leaf k at index i (its signal at i + offset); moves forward only, except on the
    // first call of a run.
    void seek(size_t k, uint64_t i) {
        Cursor& c = cursors_[k];
        Val& v = vals_[k];
        v = Val::missing();
        c.next = kNever;
        if (!c.col) return;
        const Column& col = *c.col;
        __int128 at = __int128(i) + c.offset;
        __int128 next_at;
        if (at < 0) {
            next_at = 0;  // unread until then: an enclosing RelEval answers Missing
        } else if (at >= __int128(col.end())) {
            return;
        } else if (at < __int128(col.run_start(0))) {
            next_at = col.run_start(0);
        } else {
            uint64_t a = uint64_t(at);
            size_t r = c.run;
            if (r == Column::npos || col.run_start(r) > a) {
                r = col.find_run(a);
            } else {
                while (r + 1 < col.num_runs() && col.run_start(r + 1) <= a) ++r;
            }
            if (r == Column::npos) return;
            c.run = r;
            next_at = col.run_stop(r);
            if (col.run_tag(r) == Tag::Int) {
                v = Val::make_int(col.run_int(r));
            } else {
                c.held = col.run_value(r);
                v = Val::of(c.held);
            }
        }
        c.next = next_at - c.offset;
        if (c.next <= __int128(i)) c.next = __int128(i) + 1;  // always make progress
    }

    static constexpr uint64_t kPollWork = uint64_t(1) << 20;  // roughly a millisecond

    const Program& p_;
    uint64_t work_ = 0;
    std::vector<Cursor> cursors_;
    std::vector<Val> vals_;
    std::vector<Val> regs_;
    std::vector<uint64_t> bounds_;
};

struct Piece {
    uint64_t lo, hi;  // inclusive
};

std::vector<Piece> split(uint64_t max, uint64_t piece) {
    const uint64_t n = max + 1;
    if (piece == 0) {
        // Enough pieces to balance uneven ones, few enough that each one's start-up (a binary
        // search per leaf) stays negligible.
        const uint64_t want = worker_count() * 8;
        piece = std::max<uint64_t>((n + want - 1) / want, 1024);
    }
    std::vector<Piece> out;
    for (uint64_t lo = 0; lo < n; lo += std::min(piece, n - lo))
        out.push_back({lo, lo + std::min(piece, n - lo) - 1});
    return out;
}

}  // namespace

std::vector<uint64_t> find(const Trace& trace, const Expr& expr) {
    Program p(trace, expr);
    Sweep s(p);
    std::vector<uint64_t> out;
    s.run(0, trace.max_index(), [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) out.push_back(i);
    });
    return out;
}

std::vector<uint64_t> parallel_find(const Trace& trace, const Expr& expr, uint64_t piece) {
    Program p(trace, expr);
    auto pieces = split(trace.max_index(), piece);
    std::vector<std::vector<uint64_t>> found(pieces.size());
    parallel_for(pieces.size(), [&](size_t t) {
        Sweep s(p);
        auto& out = found[t];
        s.run(pieces[t].lo, pieces[t].hi, [&](uint64_t b, uint64_t e) {
            for (uint64_t i = b; i < e; ++i) out.push_back(i);
        });
    });
    // Pieces are in range order and each is ascending, so joining them keeps the order.
    size_t total = 0;
    for (auto& f : found) total += f.size();
    std::vector<uint64_t> out;
    out.reserve(total);
    for (auto& f : found) {
        out.insert(out.end(), f.begin(), f.end());
        std::vector<uint64_t>().swap(f);
    }
    return out;
}

uint64_t parallel_count(const Trace& trace, const Expr& expr, uint64_t piece) {
    Program p(trace, expr);
    auto pieces = split(trace.max_index(), piece);
    std::vector<uint64_t> counts(pieces.size(), 0);
    parallel_for(pieces.size(), [&](size_t t) {
        Sweep s(p);
        uint64_t n = 0;
        s.run(pieces[t].lo, pieces[t].hi, [&](uint64_t b, uint64_t e) { n += e - b; });
        counts[t] = n;
    });
    uint64_t total = 0;
    for (uint64_t c : counts) total += c;
    return total;
}

std::vector<uint64_t> find_per_index(const Trace& trace, const Expr& expr) {
    Program p(trace, expr);
    std::vector<uint64_t> out;
    for (uint64_t i = 0, m = trace.max_index(); i <= m; ++i)
        if (p.eval_bool(i)) out.push_back(i);
    return out;
}

}  // namespace tarn::eval
