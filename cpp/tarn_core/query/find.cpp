#include "query/find.h"

#include <algorithm>
#include <numeric>

#include "util/interrupt.h"
#include "util/pool.h"

namespace tarn::query {

namespace {

constexpr int64_t kNever = INT64_MAX;  // beyond every index
// Sample indices stay below 2^32; a leaf shifted further than this never reads inside the trace
// (an enclosing RelEval answers Missing wherever it would).
constexpr __int128 kFar = __int128(1) << 40;

// Walks one index range, visiting only the break points of the program (see find.h).
class Sweep {
  public:
    explicit Sweep(const Program& p) : p_(p) {
        const auto& leaves = p.leaves();
        cursors_.resize(leaves.size());
        vals_.resize(leaves.size());
        for (size_t k = 0; k < leaves.size(); ++k) {
            Cursor& c = cursors_[k];
            c.col = p.trace().column(leaves[k].id);
            if (c.col && c.col->num_runs() == 0) c.col = nullptr;
            if (leaves[k].offset > kFar || leaves[k].offset < -kFar) c.col = nullptr;
            c.offset = c.col ? int64_t(leaves[k].offset) : 0;
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

    // Calls emit(begin, end) for every stretch [begin, end) inside [lo, hi] where the
    // expression is true, in ascending order. Stops early when the operation is interrupted.
    template <class Emit>
    void run(uint64_t lo, uint64_t hi, Emit&& emit) {
        const size_t n_code = p_.code().size();
        regs_.resize(n_code);
        seen_.assign(n_code, 0);
        stamp_ = 0;
        int64_t next = kNever;
        for (size_t k = 0; k < cursors_.size(); ++k) {
            cursors_[k].run = Column::npos;
            seek(k, int64_t(lo));
            next = std::min(next, cursors_[k].next);
        }
        auto b = std::upper_bound(bounds_.begin(), bounds_.end(), lo);
        const int64_t stop = int64_t(hi) + 1;
        int64_t i = int64_t(lo);
        bool full = true;
        for (;;) {
            bool hit;
            if (full) {
                hit = p_.run(uint64_t(i), vals_.data(), regs_).truth;
            } else if (changed_.size() == 1) {
                uint32_t k = changed_[0];
                hit = p_.run_list(uint64_t(i), vals_.data(), regs_.data(), p_.cone(k),
                                  p_.cone_size(k))
                          .truth;
            } else {
                // Several leaves changed: run the union of their cones once, in order, so no
                // instruction reads an operand that is still to be recomputed.
                list_.clear();
                ++stamp_;
                for (uint32_t k : changed_) {
                    const uint32_t* c = p_.cone(k);
                    for (size_t j = 0, n = p_.cone_size(k); j < n; ++j) {
                        if (seen_[c[j]] == stamp_) continue;
                        seen_[c[j]] = stamp_;
                        list_.push_back(c[j]);
                    }
                }
                std::sort(list_.begin(), list_.end());
                hit =
                    p_.run_list(uint64_t(i), vals_.data(), regs_.data(), list_.data(), list_.size())
                        .truth;
            }
            int64_t to = std::min(next, stop);
            if (b != bounds_.end()) to = std::min(to, int64_t(*b));
            if (hit) emit(uint64_t(i), uint64_t(to));
            if (to >= stop) break;
            // Poll for Ctrl-C by the work done (instructions run, indices emitted).
            work_ += n_code + cursors_.size() + (hit ? uint64_t(std::min(to - i, kPollWork)) : 0);
            if (work_ >= uint64_t(kPollWork)) {
                work_ = 0;
                if (interrupted()) break;
            }
            i = to;
            // A RelEval entering or leaving the trace changes values without any leaf: run all.
            full = !p_.has_cones();
            while (b != bounds_.end() && int64_t(*b) <= i) {
                ++b;
                full = true;
            }
            changed_.clear();
            size_t work = 0;
            next = kNever;
            for (size_t k = 0; k < cursors_.size(); ++k) {
                Cursor& c = cursors_[k];
                if (c.next <= i) {
                    seek(k, i);
                    changed_.push_back(uint32_t(k));
                    if (!full) work += p_.cone_size(uint32_t(k));
                }
                next = std::min(next, c.next);
            }
            if (work >= n_code) full = true;
        }
    }

  private:
    struct Cursor {
        const Column* col = nullptr;
        int64_t offset = 0;
        size_t run = Column::npos;
        int64_t next = kNever;  // next index at which the leaf may change
        SignalValue held;       // the value of a run that is not an Int
    };

    // Positions leaf k at index i (its signal at i + offset); moves forward only, except on the
    // first call of a run.
    void seek(size_t k, int64_t i) {
        Cursor& c = cursors_[k];
        Val& v = vals_[k];
        v = Val::missing();
        c.next = kNever;
        if (!c.col) return;
        const Column& col = *c.col;
        const int64_t at = i + c.offset;
        int64_t next_at;
        if (at < 0) {
            next_at = 0;  // unread until then: an enclosing RelEval answers Missing
        } else if (uint64_t(at) >= col.end()) {
            return;
        } else if (uint64_t(at) < col.run_start(0)) {
            next_at = int64_t(col.run_start(0));
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
            next_at = int64_t(col.run_stop(r));
            if (col.run_tag(r) == Tag::Int) {
                v = Val::make_int(col.run_int(r));
            } else {
                c.held = col.run_value(r);
                v = Val::of(c.held);
            }
        }
        c.next = std::max(next_at - c.offset, i + 1);  // always make progress
    }

    static constexpr int64_t kPollWork = int64_t(1) << 20;  // roughly a millisecond

    const Program& p_;
    uint64_t work_ = 0;
    std::vector<Cursor> cursors_;
    std::vector<Val> vals_;
    std::vector<Val> regs_;
    std::vector<uint64_t> bounds_;
    std::vector<uint32_t> changed_;
    std::vector<uint32_t> list_;  // union of cones
    std::vector<uint64_t> seen_;  // == stamp_: already in list_
    uint64_t stamp_ = 0;
};

void append_range(std::vector<uint64_t>& out, uint64_t b, uint64_t e) {
    size_t at = out.size();
    out.resize(at + size_t(e - b));
    std::iota(out.begin() + ptrdiff_t(at), out.end(), b);
}

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
    s.run(0, trace.max_index(), [&](uint64_t b, uint64_t e) { append_range(out, b, e); });
    return out;
}

std::vector<std::vector<uint64_t>> parallel_find_pieces(const Trace& trace, const Expr& expr,
                                                        uint64_t piece) {
    Program p(trace, expr);
    auto pieces = split(trace.max_index(), piece);
    std::vector<std::vector<uint64_t>> found(pieces.size());
    parallel_for(pieces.size(), [&](size_t t) {
        Sweep s(p);
        auto& out = found[t];
        s.run(pieces[t].lo, pieces[t].hi, [&](uint64_t b, uint64_t e) { append_range(out, b, e); });
    });
    return found;
}

std::vector<uint64_t> parallel_find(const Trace& trace, const Expr& expr, uint64_t piece) {
    auto found = parallel_find_pieces(trace, expr, piece);
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

}  // namespace tarn::query
