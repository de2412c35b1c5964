#include "signal/store.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>

// Payloads are the low bytes of a 64-bit value, copied in memory order.
static_assert(std::endian::native == std::endian::little, "little-endian platforms only");

namespace tarn {

namespace {

constexpr uint8_t kTagInt = 0, kTagWide = 1, kTagLogic = 2, kTagReal = 3, kTagStr = 4,
                  kTagMissing = 5;
constexpr size_t kInlineLogicBits = 29;  // 5 bits of length + 2 bits per bit fit in 64

// Bytes a payload needs: a 40-bit bus takes 5 per run, not 8.
uint8_t width_for(uint64_t p) {
    return p < 256 ? 1 : static_cast<uint8_t>((std::bit_width(p) + 7) / 8);
}

bool is_arena(uint8_t tag) {
    return tag == kTagWide || tag == kTagLogic || tag == kTagStr;
}

void put_len(PodVec<uint8_t>& a, uint64_t n) {
    uint8_t b[8];
    std::memcpy(b, &n, 8);
    a.append(b, 8);
}

uint64_t get_len(const PodVec<uint8_t>& a, uint64_t off) {
    uint64_t n;
    std::memcpy(&n, a.data() + off, 8);
    return n;
}

// Size in bytes of the arena entry at `off` for a value of kind `tag`.
uint64_t arena_entry_size(const PodVec<uint8_t>& a, uint8_t tag, uint64_t off) {
    uint64_t n = get_len(a, off);
    if (tag == kTagWide) return 8 + 8 * n;
    if (tag == kTagLogic) return 8 + packed_logic_bytes(n);
    return 8 + n;
}

}  // namespace

// ---- Column: reading ----

Tag Column::run_tag(size_t r) const {
    uint8_t t = tag_at(r);
    return t == kLogicInline ? Tag::Logic : static_cast<Tag>(t);
}

SignalValue Column::run_value(size_t r) const {
    uint64_t p;
    uint8_t t = entry(r, &p);
    switch (t) {
        case kTagInt:
            return SignalValue::make_int(p);
        case kTagReal: {
            double x;
            std::memcpy(&x, &p, 8);
            return SignalValue::make_real(x);
        }
        case kTagMissing:
            return SignalValue::missing();
        case kLogicInline: {
            size_t n = p & 31;
            uint64_t packed = p >> 5;
            SignalValue::Bits bits(n);
            for (size_t i = 0; i < n; ++i) bits[i] = uint8_t((packed >> (2 * i)) & 3);
            return SignalValue::make_logic(std::move(bits));
        }
        case kTagLogic: {
            uint64_t n = get_len(arena_, p);
            return SignalValue::make_logic(unpack_logic(arena_.data() + p + 8, n));
        }
        case kTagWide: {
            uint64_t n = get_len(arena_, p);
            SignalValue::Words w(n);
            if (n) std::memcpy(w.data(), arena_.data() + p + 8, 8 * n);
            return SignalValue::make_wide(std::move(w));
        }
        case kTagStr: {
            uint64_t n = get_len(arena_, p);
            return SignalValue::make_str(
                std::string(reinterpret_cast<const char*>(arena_.data() + p + 8), n));
        }
    }
    return SignalValue::missing();
}

bool Column::payload_equal(uint8_t ta, uint64_t pa, uint8_t tb, uint64_t pb) const {
    if (ta != tb) return false;
    if (pa == pb) return true;
    if (!is_arena(ta)) return false;
    uint64_t na = arena_entry_size(arena_, ta, pa), nb = arena_entry_size(arena_, tb, pb);
    return na == nb && std::memcmp(arena_.data() + pa, arena_.data() + pb, na) == 0;
}

bool Column::runs_identical(size_t a, size_t b) const {
    uint64_t pa, pb;
    uint8_t ta = entry(a, &pa), tb = entry(b, &pb);
    return payload_equal(ta, pa, tb, pb);
}

size_t Column::find_run(uint64_t index) const {
    if (index >= end_ || n_ == 0 || index < run_start(0)) return npos;
    // Binary search over run starts: the last run starting at or before index.
    size_t lo = 0, hi = n_;
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        if (run_start(mid) <= index)
            lo = mid;
        else
            hi = mid;
    }
    return lo;
}

SignalValue Column::get(uint64_t index) const {
    size_t r = find_run(index);
    return r == npos ? SignalValue::missing() : run_value(r);
}

size_t Column::bytes() const {
    return sizeof(Column) + lo_.capacity() * 2 + base_.capacity() * 4 + starts32_.capacity() * 4 +
           odd_bits_.capacity() * 8 + odd_rank_.capacity() * 4 + odd_tags_.capacity() +
           odd_payload_.capacity() * 8 + payload_.capacity() + arena_.capacity();
}

// ---- Column: writing ----

namespace {

// Buffers double while tiny (few reallocations for the many short columns of a load) and once
// mapped (capacity that was never written costs no memory there); in between they grow by a
// quarter, which keeps the slack of resident heap memory low.
template <class V>
void reserve_more(V& v, size_t extra) {
    size_t need = v.size() + extra;
    if (need <= v.capacity()) return;
    size_t cap = v.capacity(), bytes = cap * sizeof(v[0]);
    size_t step = bytes < 1024 || bytes >= (size_t(32) << 10) ? cap + 4 : cap / 4 + 4;
    v.reserve(std::max(need, cap + step));
}

}  // namespace

void Column::widen(uint8_t width) {
    PodVec<uint8_t> out;
    out.resize(n_ * width);
    for (size_t r = 0; r < n_; ++r) {
        uint64_t p = slot(r);
        std::memcpy(out.data() + r * width, &p, width);
    }
    payload_ = std::move(out);
    width_ = width;
}

void Column::materialize(uint8_t width) {
    if (width_ == 0)
        widen(std::max<uint8_t>(width, 1));
    else if (width > width_)
        widen(width);
}

void Column::store_payload(size_t r, uint64_t p) {
    uint8_t w = width_for(p);
    if (w > width_) widen(w);
    std::memcpy(payload_.data() + r * width_, &p, width_);
}

uint64_t Column::encode(const SignalValue& v, uint8_t* tag) {
    switch (v.tag()) {
        case Tag::Int:
            *tag = kTagInt;
            return v.as_int();
        case Tag::Real: {
            *tag = kTagReal;
            double x = v.as_real();
            uint64_t p;
            std::memcpy(&p, &x, 8);
            return p;
        }
        case Tag::Missing:
            *tag = kTagMissing;
            return 0;
        case Tag::Logic: {
            const auto& bits = v.as_logic();
            if (bits.size() <= kInlineLogicBits) {
                *tag = kLogicInline;
                uint64_t packed = 0;
                for (size_t i = 0; i < bits.size(); ++i) packed |= uint64_t(bits[i] & 3) << (2 * i);
                return bits.size() | (packed << 5);
            }
            *tag = kTagLogic;
            uint64_t off = arena_.size();
            put_len(arena_, bits.size());
            size_t base = arena_.size();
            arena_.resize(base + packed_logic_bytes(bits.size()));
            pack_logic(bits, arena_.data() + base);
            return off;
        }
        case Tag::Wide: {
            *tag = kTagWide;
            const auto& w = v.as_wide();
            uint64_t off = arena_.size();
            put_len(arena_, w.size());
            const auto* d = reinterpret_cast<const uint8_t*>(w.data());
            arena_.append(d, 8 * w.size());
            return off;
        }
        case Tag::Str: {
            *tag = kTagStr;
            const auto& s = v.as_str();
            uint64_t off = arena_.size();
            put_len(arena_, s.size());
            arena_.append(reinterpret_cast<const uint8_t*>(s.data()), s.size());
            return off;
        }
    }
    *tag = kTagMissing;
    return 0;
}

void Column::make_mixed() {
    materialize(1);
    odd_bits_.assign((n_ + 63) / 64, 0);
    odd_rank_.assign((n_ + 63) / 64, 0);
    odd_tags_.clear();
    odd_payload_.clear();
    mixed_ = true;
}

// The tag of a new run n_ (called before n_ grows).
void Column::push_tag(uint8_t tag, uint64_t payload) {
    if (n_ % 64 == 0) {
        reserve_more(odd_bits_, 1);
        odd_bits_.push_back(0);
        reserve_more(odd_rank_, 1);
        odd_rank_.push_back(static_cast<uint32_t>(odd_tags_.size()));
    }
    if (tag != kTagInt) {
        odd_bits_.back() |= uint64_t(1) << (n_ % 64);
        reserve_more(odd_tags_, 1);
        odd_tags_.push_back(tag);
        reserve_more(odd_payload_, 1);
        odd_payload_.push_back(payload);
    }
}

// Drops the tag of run n_ (called after n_ shrank).
void Column::pop_tag() {
    uint64_t bit = uint64_t(1) << (n_ % 64);
    if (odd_bits_.back() & bit) {
        odd_bits_.back() &= ~bit;
        odd_tags_.pop_back();
        odd_payload_.pop_back();
    }
    if (n_ % 64 == 0) {
        odd_bits_.pop_back();
        odd_rank_.pop_back();
    }
}

// Replaces the tag of the last run, whose entry (if any) is the last of odd_tags_.
void Column::set_last_tag(uint8_t tag, uint64_t payload) {
    size_t r = n_ - 1;
    uint64_t bit = uint64_t(1) << (r % 64);
    bool odd = odd_bits_.back() & bit;
    if (odd && tag != kTagInt) {
        odd_tags_.back() = tag;
        odd_payload_.back() = payload;
    } else if (odd) {
        odd_bits_.back() &= ~bit;
        odd_tags_.pop_back();
        odd_payload_.pop_back();
    } else if (tag != kTagInt) {
        odd_bits_.back() |= bit;
        reserve_more(odd_tags_, 1);
        odd_tags_.push_back(tag);
        reserve_more(odd_payload_, 1);
        odd_payload_.push_back(payload);
    }
}

// Regroups the runs' starts, and a next one, into blocks of 2^shift runs; false (nothing
// changed) when some block would span more than 16-bit offsets.
bool Column::rebuild_blocks(uint8_t shift, uint64_t next_start) {
    std::vector<uint32_t> starts(n_ + 1);
    for (size_t r = 0; r < n_; ++r) starts[r] = static_cast<uint32_t>(run_start(r));
    starts[n_] = static_cast<uint32_t>(next_start);
    const size_t per = size_t(1) << shift;
    for (size_t b = 0; b < starts.size(); b += per) {
        size_t last = std::min(starts.size(), b + per) - 1;
        if (starts[last] - starts[b] > UINT16_MAX) return false;
    }
    PodVec<uint32_t> base;
    PodVec<uint16_t> lo;
    base.reserve((n_ >> shift) + 1);
    lo.reserve(lo_.capacity());
    for (size_t r = 0; r < n_; ++r) {
        if ((r & (per - 1)) == 0) base.push_back(starts[r]);
        lo.push_back(static_cast<uint16_t>(starts[r] - base.back()));
    }
    base_ = std::move(base);
    lo_ = std::move(lo);
    block_shift_ = shift;
    if (!base_.empty()) block_base_ = base_.back();
    return true;
}

void Column::push_start(uint64_t start) {
    if (!wide_starts_) {
        // Runs too far apart for this block size: smaller blocks, if every block then fits.
        if (!block_start(n_) && start - block_base_ > UINT16_MAX && block_shift_ > kSmallBlockShift)
            rebuild_blocks(kSmallBlockShift, start);
        if (block_start(n_)) {
            reserve_more(base_, 1);
            base_.push_back(static_cast<uint32_t>(start));
            block_base_ = static_cast<uint32_t>(start);
            reserve_more(lo_, 1);
            lo_.push_back(0);
            return;
        }
        uint64_t off = start - block_base_;
        if (off <= UINT16_MAX) {
            reserve_more(lo_, 1);
            lo_.push_back(static_cast<uint16_t>(off));
            return;
        }
        // Else plain starts.
        starts32_.reserve(n_ + n_ / 4 + 16);
        for (size_t r = 0; r < n_; ++r) starts32_.push_back(static_cast<uint32_t>(run_start(r)));
        lo_ = PodVec<uint16_t>();
        base_ = PodVec<uint32_t>();
        wide_starts_ = true;
    }
    reserve_more(starts32_, 1);
    starts32_.push_back(static_cast<uint32_t>(start));
}

void Column::push_run(uint64_t start, uint8_t tag, uint64_t payload) {
    if (width_ == 0) {
        bool toggles =
            tag == kTagInt && payload <= 1 && (n_ == 0 || payload == (toggle0_ ^ (n_ & 1)));
        if (toggles) {
            if (n_ == 0) toggle0_ = static_cast<uint8_t>(payload);
        } else {
            materialize(width_for(tag == kTagInt ? payload : 0));
        }
    }
    if (tag != kTagInt && !mixed_) make_mixed();
    const uint64_t in_slot = tag == kTagInt ? payload : 0;
    if (width_ != 0 && width_for(in_slot) > width_) widen(width_for(in_slot));
    push_start(start);
    if (mixed_) push_tag(tag, payload);
    ++n_;
    if (width_ != 0) {
        reserve_more(payload_, width_);
        payload_.append(reinterpret_cast<const uint8_t*>(&in_slot), width_);  // little-endian
    }
    last_start_ = static_cast<uint32_t>(start);
    last_tag_ = tag;
    last_payload_ = payload;
}

void Column::pop_run() {
    --n_;
    if (wide_starts_) {
        starts32_.pop_back();
    } else {
        lo_.pop_back();
        if (block_start(n_)) base_.pop_back();
        if (!base_.empty()) block_base_ = base_.back();
    }
    if (mixed_) pop_tag();
    if (width_ != 0) payload_.resize(n_ * width_);
    cache_last();
}

void Column::set_last_run(uint8_t tag, uint64_t payload) {
    size_t r = n_ - 1;
    if (width_ == 0) {
        if (tag == kTagInt && payload == slot(r)) return;
        if (tag == kTagInt && payload <= 1 && n_ == 1) {
            toggle0_ = static_cast<uint8_t>(payload);
            last_payload_ = payload;
            return;
        }
        materialize(width_for(tag == kTagInt ? payload : 0));
    }
    if (tag != kTagInt && !mixed_) make_mixed();
    if (mixed_) set_last_tag(tag, payload);
    store_payload(r, tag == kTagInt ? payload : 0);
    last_tag_ = tag;
    last_payload_ = payload;
}

void Column::cache_last() {
    if (n_ == 0) return;
    last_start_ = static_cast<uint32_t>(run_start(n_ - 1));
    last_tag_ = tag_at(n_ - 1);
    last_payload_ = load(n_ - 1);
}

void Column::clear_runs() {
    lo_.clear();
    base_.clear();
    starts32_.clear();
    payload_.clear();
    odd_bits_.clear();
    odd_rank_.clear();
    odd_tags_.clear();
    odd_payload_.clear();
    n_ = 0;
    width_ = 0;
    toggle0_ = 0;
    wide_starts_ = false;
    block_shift_ = kBlockShift;
    mixed_ = false;
}

void Column::append_encoded(uint64_t index, uint8_t tag, uint64_t payload) {
    if (n_ == 0) {
        if (tag != kTagMissing) push_run(index, tag, payload);
    } else {
        size_t last = n_ - 1;
        if (last_start_ == index) {
            set_last_run(tag, payload);
            if (last > 0 && payload_equal(tag_at(last - 1), load(last - 1), tag, payload))
                pop_run();
            else if (last == 0 && tag == kTagMissing)
                pop_run();
        } else if (!payload_equal(last_tag_, last_payload_, tag, payload)) {
            push_run(index, tag, payload);
        }
    }
    if (index + 1 > end_) end_ = static_cast<uint32_t>(index + 1);
}

void Column::append(uint64_t index, const SignalValue& v) {
    if (index > kMaxIndex) return;
    if (n_ && index < last_start_) return set(index, v);
    uint8_t tag;
    uint64_t p = encode(v, &tag);
    append_encoded(index, tag, p);
}

void Column::append_int_slow(uint64_t index, uint64_t v) {
    if (index > kMaxIndex) return;
    if (n_ && index < last_start_) return set(index, SignalValue::make_int(v));
    append_encoded(index, kTagInt, v);
}

void Column::set(uint64_t index, const SignalValue& v) {
    if (index > kMaxIndex) return;
    uint8_t tag;
    uint64_t p = encode(v, &tag);
    if (index >= end_) {
        // The dense list grows with Missing slots up to the new one.
        if (n_ && index > end_ && tag_at(n_ - 1) != kTagMissing) push_run(end_, kTagMissing, 0);
        append_encoded(index, tag, p);
        return;
    }
    size_t r = find_run(index);
    uint8_t old_tag = r == npos ? kTagMissing : tag_at(r);
    uint64_t old_p = r == npos ? 0 : load(r);
    if (payload_equal(old_tag, old_p, tag, p)) return;

    // A write inside the written range: rebuild the runs around it. Readers write in index
    // order, so this path is rare and may cost the column's length.
    std::vector<std::tuple<uint64_t, uint8_t, uint64_t>> runs;
    runs.reserve(n_ + 2);
    size_t n = n_;
    size_t i = 0;
    for (; i < n && run_start(i) < index; ++i) runs.emplace_back(run_start(i), tag_at(i), load(i));
    runs.emplace_back(index, tag, p);
    if (i < n && run_start(i) == index) ++i;
    uint64_t next = i < n ? run_start(i) : end_;
    if (index + 1 < next) runs.emplace_back(index + 1, old_tag, old_p);
    for (; i < n; ++i) runs.emplace_back(run_start(i), tag_at(i), load(i));

    clear_runs();  // the arena stays: payloads still point into it
    for (auto& [s, t, q] : runs) {
        if (n_ == 0 ? t == kTagMissing : payload_equal(tag_at(n_ - 1), load(n_ - 1), t, q))
            continue;
        push_run(s, t, q);
    }
}

void Column::shrink() {
    lo_.shrink_to_fit();
    base_.shrink_to_fit();
    starts32_.shrink_to_fit();
    odd_bits_.shrink_to_fit();
    odd_rank_.shrink_to_fit();
    odd_tags_.shrink_to_fit();
    odd_payload_.shrink_to_fit();
    payload_.shrink_to_fit();
    arena_.shrink_to_fit();
}

// ---- SignalStore ----

Column& SignalStore::col(uint64_t id) {
    reserve_ids(id + 1);
    return columns_[static_cast<size_t>(id)];
}

void SignalStore::reserve_ids(uint64_t n) {
    if (n > columns_.size()) columns_.resize(static_cast<size_t>(n));
}

void SignalStore::select(const std::vector<uint64_t>& ids) {
    std::vector<Column> kept(ids.size());
    for (size_t k = 0; k < ids.size(); ++k)
        if (ids[k] < columns_.size()) kept[k] = std::move(columns_[static_cast<size_t>(ids[k])]);
    columns_ = std::move(kept);
}

void SignalStore::set(uint64_t id, uint64_t index, const SignalValue& value) {
    col(id).set(index, value);
}

SignalValue SignalStore::get(uint64_t id, uint64_t index) const {
    const Column* c = column(id);
    return c ? c->get(index) : SignalValue::missing();
}

std::vector<SignalValue> SignalStore::get_range(uint64_t id, uint64_t start, uint64_t end) const {
    std::vector<SignalValue> out;
    if (end <= start) return out;
    out.reserve(static_cast<size_t>(end - start));
    const Column* c = column(id);
    for (uint64_t i = start; i < end; ++i) out.push_back(c ? c->get(i) : SignalValue::missing());
    return out;
}

void SignalStore::forward_fill(uint64_t index) {
    if (index == 0 || index > kMaxIndex) return;
    for (Column& c : columns_) {
        if (c.end_ < index || c.n_ == 0) continue;
        if (c.end_ == index) {
            // The last run holds index - 1; a non-Missing value carries on.
            if (c.tag_at(c.n_ - 1) != kTagMissing) c.end_ = static_cast<uint32_t>(index + 1);
            continue;
        }
        size_t prev = c.find_run(index - 1);
        if (prev == Column::npos || c.tag_at(prev) == kTagMissing) continue;
        size_t cur = c.find_run(index);
        if (cur != Column::npos && c.tag_at(cur) != kTagMissing) continue;
        c.set(index, c.run_value(prev));
    }
}

void SignalStore::append(uint64_t id, uint64_t index, const SignalValue& value) {
    col(id).append(index, value);
}

void SignalStore::finish(uint64_t num_indices) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(num_indices, kMaxIndex + 1));
    for (Column& c : columns_) {
        if (c.n_ && c.end_ < n) c.end_ = n;
        c.shrink();
    }
}

uint8_t Column::tags_present() const {
    uint8_t mask = 0;
    for (size_t k = 0; k < odd_tags_.size(); ++k) {
        uint8_t tag = odd_tags_[k] == kLogicInline ? kTagLogic : odd_tags_[k];
        mask = static_cast<uint8_t>(mask | (1u << tag));
    }
    if (n_ > odd_tags_.size()) mask = static_cast<uint8_t>(mask | (1u << kTagInt));
    return mask;
}

size_t SignalStore::bytes() const {
    size_t b = columns_.capacity() * sizeof(Column);
    for (const Column& c : columns_) b += c.bytes() - sizeof(Column);
    return b;
}

}  // namespace tarn
