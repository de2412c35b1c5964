// Vectors dumped bit by bit. Some simulators declare each bit of a bus as a signal of its own
// (`PC_w [31]` ... `PC_w [0]`), and arrays word by word (`mem[0]`, `mem[1]`). Cutting the select
// off such names would merge them into one; these helpers decide which names keep their
// selects, and assemble a bus declared bit by bit into one vector signal under its bare name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signal/store.h"

namespace tarn {

// One declaration as a reader met it: the full name is `base` followed by `select` (from its
// first '[' on, without white space; empty when the declaration has none).
struct Declaration {
    std::string name;  // base + select
    uint32_t base_len = 0;
    uint32_t width = 0;
    uint64_t id = 0;
    std::string_view base() const { return std::string_view(name).substr(0, base_len); }
    std::string_view select() const { return std::string_view(name).substr(base_len); }
};

// The select of a reference as written: from its first '[' on, or else `next` (the following
// part of the declaration) when that starts with '['; empty when there is none. `reference` is
// cut to the part before the select.
std::string_view split_select(std::string_view& reference, std::string_view next);

// N of a single-index select "[N]"; absent for anything else ("[7:0]", "[a]", "").
std::optional<uint64_t> single_index(std::string_view select);

// A bus declared bit by bit, to be assembled under its bare name.
struct BitVector {
    size_t first_decl = 0;  // the declaration of its first bit: the vector is named right before
    uint64_t low = 0;       // the lowest and highest bit index declared
    uint64_t high = 0;
    std::vector<size_t> decls;  // its bit declarations, in declaration order
};

// How a reader's declarations group by their names without selects.
struct NamePlan {
    // Per declaration: its group holds declarations of different signal ids, so the select is
    // what tells them apart.
    std::vector<uint8_t> separate;
    // Groups of different ids, each one bit wide with a single-index select, at least two
    // distinct indices, and at most limits::kAssembledWidth bits from lowest to highest: buses
    // dumped bit by bit, in the order of their first declarations.
    std::vector<BitVector> vectors;
};

NamePlan plan_names(const std::vector<Declaration>& decls);

// A vector to build: its signal id and the id of each bit position from the lowest declared
// index up (kNoBit where no declaration names that position).
struct Assembly {
    static constexpr uint64_t kNoBit = UINT64_MAX;
    size_t vector = 0;  // index into NamePlan::vectors
    uint64_t id = 0;
    std::vector<uint64_t> bit_ids;  // position 0 = lowest index = least significant bit
};

// The vectors of `plan` to build: ids from `next_id` on in plan order. Where several
// declarations name one index, the last one stands for it when `later_wins`, else the first.
// Vectors whose values could take more than what is left of `budget` bytes are left out (their
// bits stay), so a file cannot make assembly exhaust memory.
std::vector<Assembly> choose_vectors(const SignalStore& store,
                                     const std::vector<Declaration>& decls, const NamePlan& plan,
                                     bool later_wins, uint64_t next_id, uint64_t budget);

// Appends the vector's values to its column, built from its bits' change points (the bits must
// hold all their values; call before the store's finish). The most significant bit is the
// highest position. A bit counts by its lowest bit (`Int`, `Wide`) or its last bit (`Logic`); a
// bit without a value, a `Real` or `Str` bit and a position without a bit are x. All two-state
// gives `Int` (`Wide` beyond 64 bits), any x or z gives `Logic`, no bit with a value `Missing`.
void assemble_vector(SignalStore& store, const Assembly& a);

}  // namespace tarn
