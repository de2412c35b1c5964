// SignalStore: per-signal values over sample indices, kept as change points.
//
// Observable contract (what every reader and query relies on): each signal id maps sample
// indices to values; a never-written index reads Missing; `set` replaces one index;
// `forward_fill(i)` carries a non-Missing value at i-1 into i when i reads Missing. A dense list
// per signal would do this with one slot per index; we keep only the indices where the value
// changes ("runs") plus the end of the signal's slots, which gives identical reads.
//
// Readers that fill every index in order (VCD, FST) use the sequential API instead of calling
// `forward_fill` per index: `append` writes at an index at or after the signal's last change as
// if every index since had been forward-filled, and `finish(n)` closes all signals at n indices.
// Sample indices are limited to kMaxIndex (a trace that long could not hold its time stamps in
// memory anyway); writes beyond it are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "signal/value.h"
#include "util/podvec.h"

namespace tarn {

inline constexpr uint64_t kMaxIndex = std::numeric_limits<uint32_t>::max() - 1;

class alignas(64) Column {
  public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    // Values at indices >= end() read Missing (the dense list's length).
    uint64_t end() const { return end_; }
    size_t num_runs() const { return n_; }
    uint64_t run_start(size_t r) const {
        return wide_starts_ ? starts32_[r] : uint64_t(base_[r >> block_shift_]) + lo_[r];
    }
    // First index after run r (the next run's start, or end()).
    uint64_t run_stop(size_t r) const { return r + 1 < n_ ? run_start(r + 1) : end_; }
    Tag run_tag(size_t r) const;
    SignalValue run_value(size_t r) const;
    // The Int payload of run r; only meaningful when run_tag(r) == Tag::Int.
    uint64_t run_int(size_t r) const { return slot(r); }
    // True when runs a and b hold identical representations.
    bool runs_identical(size_t a, size_t b) const;

    // The run holding `index`: the last run starting at or before it, or npos when the index is
    // before the first run or at/after end().
    size_t find_run(uint64_t index) const;
    SignalValue get(uint64_t index) const;

    // The kinds of value held by any run: bit t set for each Tag t (Missing runs included).
    // Costs a step per run that is not an Int, which most columns have few of.
    uint8_t tags_present() const;

    // Bytes held (for memory accounting).
    size_t bytes() const;

  private:
    friend class SignalStore;
    enum : uint8_t { kLogicInline = 6 };
    // Runs per 16-bit start block: 256, or 32 for quieter signals whose runs lie too far apart
    // for 256 of them to share a base.
    static constexpr uint8_t kBlockShift = 8, kSmallBlockShift = 5;
    bool block_start(size_t r) const { return (r & ((size_t(1) << block_shift_) - 1)) == 0; }
    bool rebuild_blocks(uint8_t shift, uint64_t next_start);

    // The payload_ slot of run r: an Int run's value (0 for the other runs, whose payloads live
    // beside their tags, so a rare wide one does not widen every slot).
    uint64_t slot(size_t r) const {
        if (width_ == 0) return toggle0_ ^ (r & 1);
        return load_bytes(payload_.data() + size_t(width_) * r, width_);
    }
    // The low `width` bytes (1 to 8) at p, little-endian; each width is a fixed-size copy.
    static uint64_t load_bytes(const uint8_t* p, uint8_t width) {
        uint64_t v = 0;
        switch (width) {
            case 1:
                return *p;
            case 2:
                std::memcpy(&v, p, 2);
                break;
            case 3:
                std::memcpy(&v, p, 3);
                break;
            case 4:
                std::memcpy(&v, p, 4);
                break;
            case 5:
                std::memcpy(&v, p, 5);
                break;
            case 6:
                std::memcpy(&v, p, 6);
                break;
            case 7:
                std::memcpy(&v, p, 7);
                break;
            default:
                std::memcpy(&v, p, 8);
                break;
        }
        return v;
    }
    void store_payload(size_t r, uint64_t p);
    void widen(uint8_t width);
    void materialize(uint8_t width);
    uint64_t encode(const SignalValue& v, uint8_t* tag);
    bool payload_equal(uint8_t ta, uint64_t pa, uint8_t tb, uint64_t pb) const;
    // Position of run r among the non-Int runs, or npos for an Int run.
    size_t odd_index(size_t r) const {
        if (!mixed_) return npos;
        uint64_t word = odd_bits_[r >> 6], bit = uint64_t(1) << (r & 63);
        if (!(word & bit)) return npos;
        return odd_rank_[r >> 6] + static_cast<size_t>(__builtin_popcountll(word & (bit - 1)));
    }
    uint8_t tag_at(size_t r) const {
        size_t k = odd_index(r);
        return k == npos ? 0 : odd_tags_[k];
    }
    // Tag and payload of run r.
    uint8_t entry(size_t r, uint64_t* payload) const {
        size_t k = odd_index(r);
        if (k == npos) {
            *payload = slot(r);
            return 0;
        }
        *payload = odd_payload_[k];
        return odd_tags_[k];
    }
    uint64_t load(size_t r) const {
        uint64_t p;
        entry(r, &p);
        return p;
    }
    void push_tag(uint8_t tag, uint64_t payload);
    void pop_tag();
    void set_last_tag(uint8_t tag, uint64_t payload);
    void make_mixed();
    void push_start(uint64_t start);
    void push_run(uint64_t start, uint8_t tag, uint64_t payload);
    void pop_run();
    void set_last_run(uint8_t tag, uint64_t payload);
    void clear_runs();
    void cache_last();

    void append(uint64_t index, const SignalValue& v);
    // The hot path of loading: a new Int run that fits the column's current form is written in
    // place; anything else (a first run, a new block, a wider payload, growth) goes out of line.
    void append_int(uint64_t index, uint64_t v) {
        if (n_ != 0 && index > last_start_ && index <= kMaxIndex) {
            if (v == last_payload_ && last_tag_ == 0) {
                if (index + 1 > end_) end_ = static_cast<uint32_t>(index + 1);
                return;
            }
            if (push_int_fast(static_cast<uint32_t>(index), v)) return;
        }
        append_int_slow(index, v);
    }
    bool push_int_fast(uint32_t index, uint64_t v) {
        uint32_t off = index - block_base_;
        if (wide_starts_ || block_start(n_) || off > UINT16_MAX || lo_.size() == lo_.capacity())
            return false;
        if (mixed_ && n_ % 64 == 0) return false;  // a new word of odd_bits_
        if (width_ == 0) {
            if (v != uint64_t(toggle0_ ^ (n_ & 1))) return false;
        } else {
            if ((width_ < 8 && (v >> (8 * width_)) != 0) ||
                payload_.size() + 8 > payload_.capacity())
                return false;
            payload_.push_low_bytes(v, width_);
        }
        lo_.push_unchecked<2>(off);
        // An Int run in a mixed column: its bit in odd_bits_ is already clear.
        ++n_;
        last_tag_ = 0;
        last_start_ = index;
        last_payload_ = v;
        if (index + 1 > end_) end_ = index + 1;
        return true;
    }
    void append_int_slow(uint64_t index, uint64_t v);
    void append_encoded(uint64_t index, uint8_t tag, uint64_t payload);
    void set(uint64_t index, const SignalValue& v);
    void shrink();

    // Field order matters: a value change on the loading hot path reads and writes the first
    // two cache lines (the column is aligned to one) and nothing else of the column record.

    // Run starts: 16-bit offsets from a 32-bit base per block of runs while every offset fits,
    // plain 32-bit starts otherwise.
    PodVec<uint16_t> lo_;
    // Payloads: width_ bytes per run (1 to 8, as many as the largest Int needs), little-endian.
    // Width 0 is the toggle form of a signal whose
    // runs are Int 0 and 1 alternating (identical neighbours always merge, so a two-state bit
    // stays in this form): run r holds toggle0_ ^ (r & 1) and costs no payload bytes at all.
    PodVec<uint8_t> payload_;
    // The last run, cached so that appending decides from these fields alone without touching
    // the tails of the vectors.
    uint64_t last_payload_ = 0;
    uint32_t last_start_ = 0;
    uint32_t block_base_ = 0;  // base_.back(), kept here for the same reason

    size_t n_ = 0;
    uint32_t end_ = 0;
    uint8_t last_tag_ = 0;
    uint8_t width_ = 0;
    uint8_t toggle0_ = 0;
    bool wide_starts_ = false;
    bool mixed_ = false;
    uint8_t block_shift_ = kBlockShift;
    // Once a non-Int value arrives (mixed_): one bit per run telling which runs hold one, the
    // number of such runs before each 64-run word, and their tags and payloads in run order. Such
    // values are rare in most columns (an x now and then), so this costs far less than a tag per
    // run.
    PodVec<uint64_t> odd_bits_;
    PodVec<uint32_t> odd_rank_;
    PodVec<uint8_t> odd_tags_;
    PodVec<uint64_t> odd_payload_;
    PodVec<uint32_t> base_;
    PodVec<uint32_t> starts32_;
    PodVec<uint8_t> arena_;  // variable-size values (Wide, long Logic, Str)
};

class SignalStore {
  public:
    // Literal operations.
    void set(uint64_t id, uint64_t index, const SignalValue& value);
    SignalValue get(uint64_t id, uint64_t index) const;
    std::vector<SignalValue> get_range(uint64_t id, uint64_t start, uint64_t end) const;
    void forward_fill(uint64_t index);

    // Sequential API for readers that fill every index (see the file comment). Once
    // reserve_ids covers them, appends to different ids touch different columns only and may
    // run at once.
    void append(uint64_t id, uint64_t index, const SignalValue& value);
    void append_int(uint64_t id, uint64_t index, uint64_t value) {
        if (id < columns_.size())
            columns_[static_cast<size_t>(id)].append_int(index, value);
        else
            col(id).append_int(index, value);
    }
    void finish(uint64_t num_indices);

    // Make sure ids 0..n-1 exist (so unknown-but-declared ids read Missing cheaply).
    void reserve_ids(uint64_t n);

    // Keeps the columns of `ids` as ids 0, 1, ... in that order and frees every other one (a
    // load that keeps only some signals). An id without a column gives an empty one.
    void select(const std::vector<uint64_t>& ids);

    size_t num_columns() const { return columns_.size(); }
    const Column* column(uint64_t id) const {
        return id < columns_.size() ? &columns_[static_cast<size_t>(id)] : nullptr;
    }
    size_t bytes() const;

  private:
    Column& col(uint64_t id);
    std::vector<Column> columns_;
};

}  // namespace tarn
