#include "signal/store.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace tarn {

namespace {

constexpr uint8_t kTagInt = 0, kTagWide = 1, kTagLogic = 2, kTagReal = 3, kTagStr = 4,
                  kTagMissing = 5;
constexpr size_t kInlineLogicBits = 29;  // 5 bits of length + 2 bits per bit fit in 64

uint8_t width_for(uint64_t p) {
    if (p < (uint64_t(1) << 8)) return 1;
    if (p < (uint64_t(1) << 16)) return 2;
    if (p < (uint64_t(1) << 32)) return 4;
    return 8;
}

bool is_arena(uint8_t tag) { return tag == kTagWide || tag == kTagLogic || tag == kTagStr; }

void put_len(std::vector<uint8_t>& a, uint64_t n) {
    uint8_t b[8];
    std::memcpy(b, &n, 8);
    a.insert(a.end(), b, b + 8);
}

uint64_t get_len(const std::vector<uint8_t>& a, uint64_t off) {
    uint64_t n;
    std::memcpy(&n, a.data() + off, 8);
    return n;
}

// Size in bytes of the arena entry at `off` for a value of kind `tag`.
uint64_t arena_entry_size(const std::vector<uint8_t>& a, uint8_t tag, uint64_t off) {
    uint64_t n = get_len(a, off);
    if (tag == kTagWide) return 8 + 8 * n;
    if (tag == kTagLogic) return 8 + (n + 3) / 4;
    return 8 + n;
}

}  // namespace

// ---- Column: reading ----

uint64_t Column::load(size_t r) const {
    uint64_t p = 0;
    std::memcpy(&p, payload_.data() + r * width_, width_);
    return p;
}

Tag Column::run_tag(size_t r) const {
    uint8_t t = tag_at(r);
    return t == kLogicInline ? Tag::Logic : static_cast<Tag>(t);
}

SignalValue Column::run_value(size_t r) const {
    uint8_t t = tag_at(r);
    uint64_t p = load(r);
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
            const uint8_t* d = arena_.data() + p + 8;
            SignalValue::Bits bits(n);
            for (uint64_t i = 0; i < n; ++i) bits[i] = uint8_t((d[i / 4] >> (2 * (i % 4))) & 3);
            return SignalValue::make_logic(std::move(bits));
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
    return payload_equal(tag_at(a), load(a), tag_at(b), load(b));
}

size_t Column::find_run(uint64_t index) const {
    if (index >= end_ || starts_.empty() || index < starts_[0]) return npos;
    auto it = std::upper_bound(starts_.begin(), starts_.end(), index);
    return static_cast<size_t>(it - starts_.begin()) - 1;
}

SignalValue Column::get(uint64_t index) const {
    size_t r = find_run(index);
    return r == npos ? SignalValue::missing() : run_value(r);
}

size_t Column::bytes() const {
    return sizeof(Column) + starts_.capacity() * 4 + tags_.capacity() + payload_.capacity() +
           arena_.capacity();
}

// ---- Column: writing ----

void Column::widen(uint8_t width) {
    size_t n = starts_.size();
    std::vector<uint8_t> out(n * width);
    for (size_t r = 0; r < n; ++r) {
        uint64_t p = load(r);
        std::memcpy(out.data() + r * width, &p, width);
    }
    payload_ = std::move(out);
    width_ = width;
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
            arena_.resize(base + (bits.size() + 3) / 4, 0);
            for (size_t i = 0; i < bits.size(); ++i)
                arena_[base + i / 4] |= uint8_t((bits[i] & 3) << (2 * (i % 4)));
            return off;
        }
        case Tag::Wide: {
            *tag = kTagWide;
            const auto& w = v.as_wide();
            uint64_t off = arena_.size();
            put_len(arena_, w.size());
            const auto* d = reinterpret_cast<const uint8_t*>(w.data());
            arena_.insert(arena_.end(), d, d + 8 * w.size());
            return off;
        }
        case Tag::Str: {
            *tag = kTagStr;
            const auto& s = v.as_str();
            uint64_t off = arena_.size();
            put_len(arena_, s.size());
            arena_.insert(arena_.end(), s.begin(), s.end());
            return off;
        }
    }
    *tag = kTagMissing;
    return 0;
}

void Column::make_mixed() {
    tags_.assign(starts_.size(), kTagInt);
    mixed_ = true;
}

void Column::push_run(uint64_t start, uint8_t tag, uint64_t payload) {
    if (tag != kTagInt && !mixed_) make_mixed();
    starts_.push_back(static_cast<uint32_t>(start));
    if (mixed_) tags_.push_back(tag);
    payload_.resize(payload_.size() + width_);
    store_payload(starts_.size() - 1, payload);
}

void Column::pop_run() {
    starts_.pop_back();
    if (mixed_) tags_.pop_back();
    payload_.resize(payload_.size() - width_);
}

void Column::set_run(size_t r, uint8_t tag, uint64_t payload) {
    if (tag != kTagInt && !mixed_) make_mixed();
    if (mixed_) tags_[r] = tag;
    store_payload(r, payload);
}

void Column::append_encoded(uint64_t index, uint8_t tag, uint64_t payload) {
    if (starts_.empty()) {
        if (tag != kTagMissing) push_run(index, tag, payload);
    } else {
        size_t last = starts_.size() - 1;
        if (starts_[last] == index) {
            set_run(last, tag, payload);
            if (last > 0 && payload_equal(tag_at(last - 1), load(last - 1), tag, payload)) pop_run();
            else if (last == 0 && tag == kTagMissing) pop_run();
        } else if (!payload_equal(tag_at(last), load(last), tag, payload)) {
            push_run(index, tag, payload);
        }
    }
    if (index + 1 > end_) end_ = static_cast<uint32_t>(index + 1);
}

void Column::append(uint64_t index, const SignalValue& v) {
    if (index > kMaxIndex) return;
    if (!starts_.empty() && index < starts_.back()) return set(index, v);
    uint8_t tag;
    uint64_t p = encode(v, &tag);
    append_encoded(index, tag, p);
}

void Column::append_int(uint64_t index, uint64_t v) {
    if (index > kMaxIndex) return;
    if (!starts_.empty() && index < starts_.back()) return set(index, SignalValue::make_int(v));
    append_encoded(index, kTagInt, v);
}

void Column::set(uint64_t index, const SignalValue& v) {
    if (index > kMaxIndex) return;
    uint8_t tag;
    uint64_t p = encode(v, &tag);
    if (index >= end_) {
        // The dense list grows with Missing slots up to the new one.
        if (!starts_.empty() && index > end_ && tag_at(starts_.size() - 1) != kTagMissing)
            push_run(end_, kTagMissing, 0);
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
    runs.reserve(starts_.size() + 2);
    size_t n = starts_.size();
    size_t i = 0;
    for (; i < n && starts_[i] < index; ++i) runs.emplace_back(starts_[i], tag_at(i), load(i));
    runs.emplace_back(index, tag, p);
    if (i < n && starts_[i] == index) ++i;
    uint64_t next = i < n ? starts_[i] : end_;
    if (index + 1 < next) runs.emplace_back(index + 1, old_tag, old_p);
    for (; i < n; ++i) runs.emplace_back(starts_[i], tag_at(i), load(i));

    starts_.clear();
    tags_.clear();
    payload_.clear();
    for (auto& [s, t, q] : runs) {
        if (starts_.empty() ? t == kTagMissing
                            : payload_equal(tag_at(starts_.size() - 1), load(starts_.size() - 1), t, q))
            continue;
        push_run(s, t, q);
    }
}

void Column::shrink() {
    starts_.shrink_to_fit();
    tags_.shrink_to_fit();
    payload_.shrink_to_fit();
    arena_.shrink_to_fit();
}

// ---- SignalStore ----

Column& SignalStore::col(uint64_t id) {
    if (id >= columns_.size()) columns_.resize(static_cast<size_t>(id) + 1);
    return columns_[static_cast<size_t>(id)];
}

void SignalStore::reserve_ids(uint64_t n) {
    if (n > columns_.size()) columns_.resize(static_cast<size_t>(n));
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
        if (c.end_ < index || c.starts_.empty()) continue;
        if (c.end_ == index) {
            // The last run holds index - 1; a non-Missing value carries on.
            if (c.tag_at(c.starts_.size() - 1) != kTagMissing) c.end_ = static_cast<uint32_t>(index + 1);
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

void SignalStore::append_int(uint64_t id, uint64_t index, uint64_t value) {
    col(id).append_int(index, value);
}

void SignalStore::finish(uint64_t num_indices) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(num_indices, kMaxIndex + 1));
    for (Column& c : columns_) {
        if (!c.starts_.empty() && c.end_ < n) c.end_ = n;
        c.shrink();
    }
}

size_t SignalStore::bytes() const {
    size_t b = columns_.capacity() * sizeof(Column);
    for (const Column& c : columns_) b += c.bytes() - sizeof(Column);
    return b;
}

}  // namespace tarn
