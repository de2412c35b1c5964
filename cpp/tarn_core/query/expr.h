// Expression trees over the signals of a trace, and their evaluation at one sample index.
//
// Trees never change once built, so builders share their operands instead of copying them: a
// node is held through `ExprPtr` (shared, const). Nothing can observe the sharing, and building a
// chain of n operations costs O(n) instead of O(n^2). Destruction is iterative, so a chain of any
// depth is freed without deep recursion.
//
// Evaluation compiles a tree into a flat program (`Program`): one instruction per distinct
// (node, relative offset) pair, children before parents. Running the program is a loop, never a
// recursion, and a subtree shared many times is evaluated once per index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "signal/value.h"
#include "trace/trace.h"

namespace tarn::query {

// The node kinds; the order is the tag number.
enum class ExprKind : uint8_t {
    Signal = 0,
    Const,
    RelEval,
    Not,
    And,
    Or,
    Eq,
    Neq,
    Gt,
    Lt,
    Gte,
    Lte,
    Add,
    Sub,
    BitAnd,
    BitOr,
    BitXor,
    Slice,
    Signed,
    IsX,
    IsZ,
    AlwaysTrue,
    // Comparison and arithmetic of float readings (to_f64); beyond the kinds above, for
    // conditions over reals. A comparison with an operand without a reading is Missing (RealNeq,
    // the negation of RealEq, is then Int(1)); the arithmetic yields Real or Missing.
    RealEq,
    RealNeq,
    RealLt,
    RealGt,
    RealLte,
    RealGte,
    RealAdd,
    RealSub,
};

inline constexpr int kExprKinds = int(ExprKind::RealSub) + 1;

// The kinds with two operands (built by Expr::binary).
constexpr bool is_binary(ExprKind k) {
    return (k >= ExprKind::And && k <= ExprKind::BitXor) ||
           (k >= ExprKind::RealEq && k <= ExprKind::RealSub);
}

struct Expr;
using ExprPtr = std::shared_ptr<const Expr>;

struct Expr {
    ExprKind kind = ExprKind::AlwaysTrue;
    uint64_t id = 0;      // Signal
    int64_t offset = 0;   // RelEval
    uint64_t high = 0;    // Slice
    uint64_t low = 0;     // Slice
    SignalValue value;    // Const
    ExprPtr left, right;  // the only child is `left`

    Expr() = default;
    Expr(const Expr&) = delete;
    Expr& operator=(const Expr&) = delete;
    ~Expr();

    static ExprPtr signal(uint64_t id);
    static ExprPtr constant(SignalValue v);
    static ExprPtr always_true();
    static ExprPtr rel_eval(ExprPtr child, int64_t offset);
    static ExprPtr slice(ExprPtr child, uint64_t high, uint64_t low);
    // Not, Signed, IsX, IsZ.
    static ExprPtr unary(ExprKind kind, ExprPtr child);
    // The is_binary kinds: `left` is the receiver, `right` the argument.
    static ExprPtr binary(ExprKind kind, ExprPtr left, ExprPtr right);
};

// The value of an evaluated node without owning a payload: `Int`, `Real` and `Missing` are held
// inline; other kinds point at a SignalValue owned by the program (a constant) or by a leaf
// cursor.
struct Val {
    Tag tag = Tag::Missing;
    bool num = false;    // has an unsigned 64-bit reading (to_u64)
    bool truth = false;  // truthiness
    bool big = false;    // a two-state Wide or Logic that needs more than 64 bits
    uint64_t u = 0;      // the reading (the payload of an Int)
    union {
        const SignalValue* ref = nullptr;  // Wide, Logic, Str
        double f;                          // Real
    };

    static Val make_int(uint64_t x) {
        Val r;
        r.tag = Tag::Int;
        r.num = true;
        r.truth = x != 0;
        r.u = x;
        return r;
    }
    static Val make_real(double x);
    static Val missing() { return Val{}; }
    // `v` must outlive the Val.
    static Val of(const SignalValue& v);
    SignalValue to_value() const;
    // Int, a non-empty Wide, or Logic without x or z.
    bool two_state() const { return num && tag != Tag::Real && tag != Tag::Str; }
};

bool truthy(const SignalValue& v);

// A tree compiled for evaluation against one trace.
class Program {
  public:
    Program(const Trace& trace, const Expr& root);

    // Instructions take the node kinds as opcodes: Signal reads a leaf slot, Const a constant
    // (AlwaysTrue compiles to a Const), the others their operand registers.
    using Op = ExprKind;
    struct Instr {
        Op op;
        uint32_t a = 0, b = 0;  // operand registers; Signal: leaf slot; Const: constant slot;
                                // RelEval: a = child, b = window slot
        uint64_t high = 0, low = 0;
    };
    // A distinct (signal id, total offset) leaf: its value at index i is the signal's value at
    // i + offset.
    struct Leaf {
        uint64_t id;
        __int128 offset;
    };

    const Trace& trace() const { return trace_; }
    const std::vector<Instr>& code() const { return code_; }
    const std::vector<Leaf>& leaves() const { return leaves_; }
    // Total offsets of the RelEval nodes: node w is valid at i when 0 <= i + window(w) <= max.
    const std::vector<__int128>& windows() const { return windows_; }

    // Runs the program with leaf values `leaf_vals` at index i; the root's value.
    Val run(uint64_t index, const Val* leaf_vals, std::vector<Val>& regs) const;

    // The instructions that depend on leaf `leaf` (its cone), ascending. After a full run, when
    // only some leaves have changed, running the union of their cones in ascending order gives
    // the same registers as a full run. Only available when has_cones().
    bool has_cones() const { return !cone_start_.empty(); }
    const uint32_t* cone(uint32_t leaf) const { return cones_.data() + cone_start_[leaf]; }
    size_t cone_size(uint32_t leaf) const { return cone_start_[leaf + 1] - cone_start_[leaf]; }
    // Runs the instructions `list[0..n)` (ascending); the root's value.
    Val run_list(uint64_t index, const Val* leaf_vals, Val* regs, const uint32_t* list,
                 size_t n) const;

    // The value of the tree at one index (reads the store directly).
    SignalValue eval(uint64_t index) const;
    bool eval_bool(uint64_t index) const;

  private:
    void step(size_t i, uint64_t index, const Val* leaf_vals, Val* regs) const;
    void build_cones();

    const Trace& trace_;
    std::vector<Instr> code_;
    std::vector<Leaf> leaves_;
    std::vector<__int128> windows_;
    std::vector<Val> consts_;
    std::vector<std::unique_ptr<SignalValue>> const_store_;
    std::vector<uint32_t> cones_;       // per leaf, ascending instruction numbers
    std::vector<uint32_t> cone_start_;  // leaf k's cone is cones_[start[k] .. start[k + 1])
};

// One-shot evaluation (compiles the tree each call).
SignalValue eval(const Trace& trace, const Expr& expr, uint64_t index);
bool eval_bool(const Trace& trace, const Expr& expr, uint64_t index);

}  // namespace tarn::query
