#include "trace/vectors.h"

#include <algorithm>
#include <queue>
#include <utility>

#include "trace/limits.h"
#include "util/hash.h"

namespace tarn {

std::string_view split_select(std::string_view& reference, std::string_view next) {
    if (size_t b = reference.find('['); b != std::string_view::npos) {
        std::string_view select = reference.substr(b);
        reference = reference.substr(0, b);
        return select;
    }
    if (!next.empty() && next[0] == '[') return next;
    return {};
}

std::optional<uint64_t> single_index(std::string_view select) {
    if (select.size() < 3 || select.front() != '[' || select.back() != ']') return std::nullopt;
    std::string_view digits = select.substr(1, select.size() - 2);
    uint64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9' || n > (UINT64_MAX - 9) / 10) return std::nullopt;
        n = n * 10 + uint64_t(c - '0');
    }
    return n;
}

NamePlan plan_names(const std::vector<Declaration>& decls) {
    struct Group {
        uint64_t first_id = 0;
        size_t first_decl = 0;
        uint64_t low = UINT64_MAX, high = 0;
        bool separate = false;
        bool bits = true;  // every declaration one bit wide with a single-index select
        std::vector<size_t> members;
    };
    NamePlan plan;
    plan.separate.assign(decls.size(), 0);
    NameMap<size_t> index;  // base -> group
    std::vector<Group> groups;
    for (size_t k = 0; k < decls.size(); ++k) {
        const Declaration& d = decls[k];
        auto [it, fresh] = index.try_emplace(std::string(d.base()), groups.size());
        if (fresh) {
            groups.emplace_back();
            groups.back().first_id = d.id;
            groups.back().first_decl = k;
        }
        Group& g = groups[it->second];
        if (d.id != g.first_id) g.separate = true;
        auto n = single_index(d.select());
        if (!n || d.width != 1) {
            g.bits = false;
        } else if (g.bits) {
            g.low = std::min(g.low, *n);
            g.high = std::max(g.high, *n);
            g.members.push_back(k);
        }
    }
    for (size_t k = 0; k < decls.size(); ++k)
        plan.separate[k] = groups[index.find(decls[k].base())->second].separate;
    for (Group& g : groups) {
        if (!g.separate || !g.bits || g.low == g.high || g.high - g.low >= limits::kAssembledWidth)
            continue;
        plan.vectors.push_back(BitVector{g.first_decl, g.low, g.high, std::move(g.members)});
    }
    // Groups are numbered by first declaration, so the vectors already stand in that order.
    return plan;
}

namespace {

// Bytes one assembled value of `width` bits can take in a column: four-state at 2 bits a bit,
// or the tag and payload slot.
uint64_t value_bytes(uint64_t width) {
    return (width + 3) / 4 + 16;
}

}  // namespace

std::vector<Assembly> choose_vectors(const SignalStore& store,
                                     const std::vector<Declaration>& decls, const NamePlan& plan,
                                     bool later_wins, uint64_t next_id, uint64_t budget) {
    std::vector<Assembly> out;
    uint64_t spent = 0;
    for (size_t j = 0; j < plan.vectors.size(); ++j) {
        const BitVector& v = plan.vectors[j];
        Assembly a{j, 0, std::vector<uint64_t>(v.high - v.low + 1, Assembly::kNoBit)};
        uint64_t changes = 0;
        for (size_t k : v.decls) {
            uint64_t& slot = a.bit_ids[*single_index(decls[k].select()) - v.low];
            if (slot == Assembly::kNoBit || later_wins) slot = decls[k].id;
        }
        for (uint64_t id : a.bit_ids) {
            const Column* c = id == Assembly::kNoBit ? nullptr : store.column(id);
            if (c) changes += c->num_runs();
        }
        uint64_t cost = changes * value_bytes(a.bit_ids.size());
        if (cost > budget - spent) continue;
        spent += cost;
        a.id = next_id++;
        out.push_back(std::move(a));
    }
    return out;
}

namespace {

// The bit a run of a bit signal stands for, and whether it holds a value at all.
struct BitState {
    uint8_t bit = kBitX;
    bool valued = false;
};

BitState bit_of(const Column& c, size_t r) {
    switch (c.run_tag(r)) {
        case Tag::Int:
            return {uint8_t(c.run_int(r) & 1), true};
        case Tag::Wide: {
            SignalValue v = c.run_value(r);
            if (v.as_wide().empty()) return {kBitX, true};
            return {uint8_t(v.as_wide()[0] & 1), true};
        }
        case Tag::Logic: {
            SignalValue v = c.run_value(r);
            if (v.as_logic().empty()) return {kBitX, true};
            return {v.as_logic().back(), true};
        }
        case Tag::Real:
        case Tag::Str:
            return {kBitX, true};
        case Tag::Missing:
            break;
    }
    return {kBitX, false};
}

}  // namespace

void assemble_vector(SignalStore& store, const Assembly& a) {
    const size_t width = a.bit_ids.size();
    std::vector<const Column*> cols(width, nullptr);
    // Next run of each bit, in a queue ordered by where it starts.
    using Next = std::pair<uint64_t, size_t>;  // (start index, position)
    std::priority_queue<Next, std::vector<Next>, std::greater<>> queue;
    std::vector<size_t> run(width, 0);
    for (size_t p = 0; p < width; ++p) {
        if (a.bit_ids[p] == Assembly::kNoBit) continue;
        const Column* c = store.column(a.bit_ids[p]);
        if (!c || c->num_runs() == 0) continue;
        cols[p] = c;
        queue.emplace(c->run_start(0), p);
    }
    // The current value, kept up to date bit by bit: the four-state bits most significant first,
    // the two-state words least significant first, and counts that tell its kind.
    SignalValue::Bits bits(width, kBitX);
    SignalValue::Words words((width + 63) / 64, 0);
    size_t unknown = width;  // x or z bits
    size_t valued = 0;       // bits with a value
    std::vector<BitState> state(width);
    while (!queue.empty()) {
        const uint64_t at = queue.top().first;
        while (!queue.empty() && queue.top().first == at) {
            size_t p = queue.top().second;
            queue.pop();
            const Column& c = *cols[p];
            BitState s = bit_of(c, run[p]);
            BitState& old = state[p];
            valued += size_t(s.valued) - size_t(old.valued);
            unknown += size_t(s.bit > kBit1) - size_t(old.bit > kBit1);
            bits[width - 1 - p] = s.bit;
            uint64_t mask = uint64_t(1) << (p % 64);
            words[p / 64] = s.bit == kBit1 ? words[p / 64] | mask : words[p / 64] & ~mask;
            old = s;
            if (++run[p] < c.num_runs()) queue.emplace(c.run_start(run[p]), p);
        }
        if (valued == 0)
            store.append(a.id, at, SignalValue::missing());
        else if (unknown == 0)
            store.append(a.id, at, two_state_from_words(words));
        else
            store.append(a.id, at, SignalValue::make_logic(bits));
    }
}

}  // namespace tarn
