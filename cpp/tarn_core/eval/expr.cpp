#include "eval/expr.h"

#include <map>
#include <unordered_map>

namespace tarn::eval {

// ---- Building and freeing ----

namespace {

std::shared_ptr<Expr> node(ExprKind kind) {
    auto e = std::make_shared<Expr>();
    e->kind = kind;
    return e;
}

}  // namespace

Expr::~Expr() {
    if (!left && !right) return;
    // Unlink the children of every node we hold the last reference to before it dies, so no
    // destructor ever recurses.
    std::vector<ExprPtr> stack;
    if (left) stack.push_back(std::move(left));
    if (right) stack.push_back(std::move(right));
    while (!stack.empty()) {
        ExprPtr p = std::move(stack.back());
        stack.pop_back();
        if (p.use_count() == 1) {
            // Sole owner: nobody else can reach this node any more.
            auto& e = const_cast<Expr&>(*p);
            if (e.left) stack.push_back(std::move(e.left));
            if (e.right) stack.push_back(std::move(e.right));
        }
    }
}

ExprPtr Expr::signal(uint64_t id) {
    auto e = node(ExprKind::Signal);
    e->id = id;
    return e;
}

ExprPtr Expr::constant(SignalValue v) {
    auto e = node(ExprKind::Const);
    e->value = std::move(v);
    return e;
}

ExprPtr Expr::always_true() {
    return node(ExprKind::AlwaysTrue);
}

ExprPtr Expr::rel_eval(ExprPtr child, int64_t offset) {
    auto e = node(ExprKind::RelEval);
    e->left = std::move(child);
    e->offset = offset;
    return e;
}

ExprPtr Expr::slice(ExprPtr child, uint64_t high, uint64_t low) {
    auto e = node(ExprKind::Slice);
    e->left = std::move(child);
    e->high = high;
    e->low = low;
    return e;
}

ExprPtr Expr::unary(ExprKind kind, ExprPtr child) {
    auto e = node(kind);
    e->left = std::move(child);
    return e;
}

ExprPtr Expr::binary(ExprKind kind, ExprPtr l, ExprPtr r) {
    auto e = node(kind);
    e->left = std::move(l);
    e->right = std::move(r);
    return e;
}

// ---- Values ----

bool truthy(const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return v.as_int() != 0;
        case Tag::Wide:
            for (uint64_t w : v.as_wide())
                if (w) return true;
            return false;
        case Tag::Logic:
            for (uint8_t b : v.as_logic())
                if (b == kBit1) return true;
            return false;
        case Tag::Real:
            return v.as_real() != 0.0;  // NaN != 0.0 holds: a NaN is true
        case Tag::Str:
            return !v.as_str().empty();
        case Tag::Missing:
            break;
    }
    return false;
}

Val Val::of(const SignalValue& v) {
    if (v.tag() == Tag::Int) return make_int(v.as_int());
    if (v.tag() == Tag::Missing) return missing();
    Val r;
    r.tag = v.tag();
    auto u = to_u64(v);
    r.num = u.has_value();
    r.u = u.value_or(0);
    r.truth = truthy(v);
    r.ref = &v;
    return r;
}

SignalValue Val::to_value() const {
    if (tag == Tag::Int) return SignalValue::make_int(u);
    if (tag == Tag::Missing || !ref) return SignalValue::missing();
    return *ref;
}

namespace {

// Eq: identical kind and payload, else equal unsigned readings.
bool equal(const Val& a, const Val& b) {
    if (a.tag == b.tag) {
        switch (a.tag) {
            case Tag::Int:
                return a.u == b.u;
            case Tag::Missing:
                return true;
            case Tag::Wide:
                if (a.ref->as_wide() == b.ref->as_wide()) return true;
                break;
            case Tag::Logic:
                if (a.ref->as_logic() == b.ref->as_logic()) return true;
                break;
            case Tag::Real:
                if (a.ref->as_real() == b.ref->as_real()) return true;
                break;
            case Tag::Str:
                if (a.ref->as_str() == b.ref->as_str()) return true;
                break;
        }
    }
    return a.num && b.num && a.u == b.u;
}

bool has_bit(const Val& v, uint8_t bit) {
    if (v.tag != Tag::Logic) return false;
    for (uint8_t b : v.ref->as_logic())
        if (b == bit) return true;
    return false;
}

// Bits high..low of v. Bits at 64 and above are 0 (the reading has no more bits), so a slice
// that starts there is 0.
uint64_t slice_bits(uint64_t v, uint64_t high, uint64_t low) {
    if (high < low || low >= 64) return 0;
    uint64_t shifted = v >> low;
    if (high - low >= 63) return shifted;  // width >= 64 (no overflow of high - low + 1)
    return shifted & ((uint64_t(1) << (high - low + 1)) - 1);
}

struct KeyHash {
    size_t operator()(const std::pair<const Expr*, __int128>& k) const {
        auto d = static_cast<unsigned __int128>(k.second);
        uint64_t h = reinterpret_cast<uintptr_t>(k.first) * 0x9e3779b97f4a7c15ULL;
        h ^= uint64_t(d) + 0x632be59bd9b4e019ULL + (h << 6) + (h >> 2);
        h ^= uint64_t(d >> 64) + (h << 6) + (h >> 2);
        return h;
    }
};

}  // namespace

// ---- Compiling ----

Program::Program(const Trace& trace, const Expr& root) : trace_(trace) {
    using Key = std::pair<const Expr*, __int128>;
    std::unordered_map<Key, uint32_t, KeyHash> done;
    std::map<__int128, uint32_t> window_slots;
    std::map<std::pair<uint64_t, __int128>, uint32_t> leaf_slots;

    struct Frame {
        const Expr* e;
        __int128 d;
        bool expanded;
    };
    std::vector<Frame> stack{{&root, 0, false}};
    auto reg_of = [&](const Expr* e, __int128 d) { return done.at(Key{e, d}); };

    while (!stack.empty()) {
        Frame& f = stack.back();
        const Expr* e = f.e;
        __int128 d = f.d;
        if (done.count(Key{e, d})) {
            stack.pop_back();
            continue;
        }
        __int128 child_d = e->kind == ExprKind::RelEval ? d + e->offset : d;
        if (!f.expanded) {
            f.expanded = true;
            // `f` may dangle after these pushes.
            if (e->right && !done.count(Key{e->right.get(), child_d}))
                stack.push_back({e->right.get(), child_d, false});
            if (e->left && !done.count(Key{e->left.get(), child_d}))
                stack.push_back({e->left.get(), child_d, false});
            continue;
        }
        stack.pop_back();

        Instr in{};
        switch (e->kind) {
            case ExprKind::Signal: {
                auto [it, fresh] = leaf_slots.try_emplace({e->id, d}, uint32_t(leaves_.size()));
                if (fresh) leaves_.push_back({e->id, d});
                in.op = Op::Leaf;
                in.a = it->second;
                break;
            }
            case ExprKind::Const:
            case ExprKind::AlwaysTrue: {
                in.op = Op::Const;
                in.a = uint32_t(consts_.size());
                if (e->kind == ExprKind::AlwaysTrue) {
                    consts_.push_back(Val::make_int(1));
                } else {
                    const_store_.push_back(std::make_unique<SignalValue>(e->value));
                    consts_.push_back(Val::of(*const_store_.back()));
                }
                break;
            }
            case ExprKind::RelEval: {
                auto [it, fresh] = window_slots.try_emplace(child_d, uint32_t(windows_.size()));
                if (fresh) windows_.push_back(child_d);
                in.op = Op::RelEval;
                in.a = reg_of(e->left.get(), child_d);
                in.b = it->second;
                break;
            }
            case ExprKind::Slice:
                in.op = Op::Slice;
                in.a = reg_of(e->left.get(), d);
                in.high = e->high;
                in.low = e->low;
                break;
            default:
                // The remaining kinds map one to one, in the same order.
                static_assert(int(Op::IsZ) - int(Op::Not) ==
                              int(ExprKind::IsZ) - int(ExprKind::Not));
                in.op =
                    static_cast<Op>(static_cast<int>(Op::Not) +
                                    (static_cast<int>(e->kind) - static_cast<int>(ExprKind::Not)));
                in.a = reg_of(e->left.get(), d);
                if (e->right) in.b = reg_of(e->right.get(), d);
                break;
        }
        done.emplace(Key{e, d}, uint32_t(code_.size()));
        code_.push_back(in);
    }
}

// ---- Running ----

Val Program::run(uint64_t index, const Val* leaf_vals, std::vector<Val>& regs) const {
    const size_t n = code_.size();
    if (regs.size() < n) regs.resize(n);
    Val* r = regs.data();
    const __int128 max = trace_.max_index();
    for (size_t i = 0; i < n; ++i) {
        const Instr& in = code_[i];
        // Slot numbers never exceed the instruction count, so these stay in range even where
        // they are not registers (Leaf, Const).
        const Val& x = r[in.a];
        const Val& y = r[in.b];
        switch (in.op) {
            case Op::Leaf:
                r[i] = leaf_vals[in.a];
                break;
            case Op::Const:
                r[i] = consts_[in.a];
                break;
            case Op::RelEval: {
                __int128 j = __int128(index) + windows_[in.b];
                r[i] = (j < 0 || j > max) ? Val::missing() : x;
                break;
            }
            case Op::Not:
                r[i] = Val::make_int(!x.truth);
                break;
            case Op::And:
                r[i] = Val::make_int(x.truth && y.truth);
                break;
            case Op::Or:
                r[i] = Val::make_int(x.truth || y.truth);
                break;
            case Op::Eq:
                r[i] = Val::make_int(equal(x, y));
                break;
            case Op::Neq:
                r[i] = Val::make_int(!equal(x, y));
                break;
            case Op::Gt:
                r[i] = x.num && y.num ? Val::make_int(x.u > y.u) : Val::missing();
                break;
            case Op::Lt:
                r[i] = x.num && y.num ? Val::make_int(x.u < y.u) : Val::missing();
                break;
            case Op::Gte:
                r[i] = x.num && y.num ? Val::make_int(x.u >= y.u) : Val::missing();
                break;
            case Op::Lte:
                r[i] = x.num && y.num ? Val::make_int(x.u <= y.u) : Val::missing();
                break;
            case Op::Add:
                r[i] = x.num && y.num ? Val::make_int(x.u + y.u) : Val::missing();
                break;
            case Op::Sub:
                r[i] = x.num && y.num ? Val::make_int(x.u - y.u) : Val::missing();
                break;
            case Op::BitAnd:
                r[i] = x.num && y.num ? Val::make_int(x.u & y.u) : Val::missing();
                break;
            case Op::BitOr:
                r[i] = x.num && y.num ? Val::make_int(x.u | y.u) : Val::missing();
                break;
            case Op::BitXor:
                r[i] = x.num && y.num ? Val::make_int(x.u ^ y.u) : Val::missing();
                break;
            case Op::Slice:
                r[i] = x.num ? Val::make_int(slice_bits(x.u, in.high, in.low)) : Val::missing();
                break;
            case Op::Signed:
                r[i] = x.num ? Val::make_int(x.u) : Val::missing();
                break;
            case Op::IsX:
                r[i] = Val::make_int(x.tag == Tag::Missing || has_bit(x, kBitX));
                break;
            case Op::IsZ:
                r[i] = Val::make_int(has_bit(x, kBitZ));
                break;
        }
    }
    return n ? r[n - 1] : Val::missing();
}

SignalValue Program::eval(uint64_t index) const {
    std::vector<SignalValue> held(leaves_.size());
    std::vector<Val> vals(leaves_.size());
    for (size_t k = 0; k < leaves_.size(); ++k) {
        __int128 at = __int128(index) + leaves_[k].offset;
        // Outside the index space the enclosing RelEval answers Missing; the leaf is unused.
        if (at < 0 || at > __int128(UINT64_MAX)) continue;
        held[k] = trace_.signal_value_by_id(leaves_[k].id, uint64_t(at));
        vals[k] = Val::of(held[k]);
    }
    std::vector<Val> regs;
    return run(index, vals.data(), regs).to_value();
}

bool Program::eval_bool(uint64_t index) const {
    return truthy(eval(index));
}

SignalValue eval(const Trace& trace, const Expr& expr, uint64_t index) {
    return Program(trace, expr).eval(index);
}

bool eval_bool(const Trace& trace, const Expr& expr, uint64_t index) {
    return Program(trace, expr).eval_bool(index);
}

}  // namespace tarn::eval
