// ChangeLog: the value changes of one stretch of a dump, in file order, kept while stretches
// are parsed at once and replayed into the trace's store afterwards, stretch by stretch.
//
// Parsing a stretch on another thread into a store of its own would mean copying its columns
// into the first store and freeing them; that memory would go back to the heap arena of the
// thread that parsed it, out of reach of the growing columns, and the peak would grow by much of
// the stretch. A log is written and read front to back in chunks of its own, each unmapped once
// replayed: the store grows while the logs shrink. Replaying makes the very appends one pass
// would make, in the same order for each column, so the result is the one-pass result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "signal/store.h"
#include "signal/value.h"
#include "util/podvec.h"

namespace tarn {

// One stream of a log: the changes of some of the signals. A change at a later stamp than the
// stream's previous change says how many stamps later.
class ChangeStream {
  public:
    explicit ChangeStream(uint8_t key_bytes) : key_bytes_(key_bytes) {}
    ~ChangeStream();
    ChangeStream(ChangeStream&& o) noexcept;
    ChangeStream(const ChangeStream&) = delete;
    ChangeStream& operator=(const ChangeStream&) = delete;
    ChangeStream& operator=(ChangeStream&&) = delete;

    // A change of signal `id` to `v` at stamp `stamp` (counted from 1, never decreasing).
    void put_int(uint64_t stamp, uint64_t id, uint64_t v) {
        room(kSmall);
        put_head(stamp, id, v <= 1 ? static_cast<uint8_t>(v) : uint8_t(kOpInt));
        if (v > 1) put_varint(v);
    }
    void put(uint64_t stamp, uint64_t id, const SignalValue& v);
    void replay(SignalStore& store, uint64_t first_index);
    size_t bytes() const;

  private:
    // A key is id << 3 | advanced << 2 | op. With `advanced` set, a count of stamps follows the
    // key; then the value, as op says: 0 or 1, a LEB128 number, or a tag and its payload.
    enum : uint8_t { kOpZero = 0, kOpOne = 1, kOpInt = 2, kOpOther = 3, kAdvanced = 4 };
    enum : uint8_t { kMissing = 0, kLogic = 1, kReal = 2, kWide = 3, kStr = 4 };
    // Enough for a key, a count, a tag and a 64-bit number in any encoding, with room for the
    // 8-byte stores that write a shorter key.
    static constexpr size_t kSmall = 32;

    struct Chunk {
        uint8_t* data;
        size_t size;  // bytes mapped
        size_t used;
    };

    void room(size_t n) {
        if (static_cast<size_t>(end_ - pos_) < n) new_chunk(n);
    }
    void new_chunk(size_t n);
    // The key, and the count of stamps since the stream's last change if there were any.
    void put_head(uint64_t stamp, uint64_t id, uint8_t op) {
        uint64_t advance = stamp - marked_, key = id << 3 | op;
        if (advance) key |= kAdvanced;
        std::memcpy(pos_, &key, 8);
        pos_ += key_bytes_;
        if (advance) {
            put_varint(advance);
            marked_ = stamp;
        }
    }
    void put_other(uint64_t stamp, uint64_t id, uint8_t tag, size_t payload);
    void put_varint(uint64_t v) {
        while (v >= 0x80) {
            *pos_++ = static_cast<uint8_t>(v | 0x80);
            v >>= 7;
        }
        *pos_++ = static_cast<uint8_t>(v);
    }
    void put_bytes(const void* p, size_t n) {
        if (n) std::memcpy(pos_, p, n);
        pos_ += n;
    }
    void seal();
    void release_all();

    std::vector<Chunk> chunks_;
    uint8_t* pos_ = nullptr;
    uint8_t* end_ = nullptr;  // a few bytes short of the current chunk's end
    uint8_t key_bytes_;       // 1 to 8: as few as hold every key
    uint64_t marked_ = 0;     // the stamp of the stream's last change
};

// A log in `streams` streams, each signal's changes in one of them, so that as many threads can
// replay it at once, each into its own signals' columns.
class ChangeLog {
  public:
    // Changes name signal ids below `ids` (which is below 2^60).
    ChangeLog(uint64_t ids, size_t streams);

    // The next sample index begins, at time `t`: the changes after it belong to it.
    void put_stamp(uint64_t t) { times_.push_back(t); }
    uint64_t stamps() const { return times_.size(); }
    // Appends the stamps' times to `out` and frees them here.
    void move_times(std::vector<uint64_t>& out);
    void put_int(uint64_t id, uint64_t v) { streams_[stream_of(id)].put_int(stamps(), id, v); }
    void put(uint64_t id, const SignalValue& v) { streams_[stream_of(id)].put(stamps(), id, v); }

    size_t streams() const { return streams_.size(); }
    // Signals take turns, so that each stream gets its share of any busy part of the design.
    size_t stream_of(uint64_t id) const {
        return streams_.size() == 1 ? 0 : static_cast<size_t>(id % streams_.size());
    }
    // Appends the changes of stream `k` to `store`, whose columns must exist already: the first
    // stamp's changes at index `first_index`, each later stamp's at the next index. The stream
    // is freed as it is read. Different streams may be replayed at once.
    void replay(size_t k, SignalStore& store, uint64_t first_index) {
        streams_[k].replay(store, first_index);
    }

    // Bytes held (for tests and memory accounting).
    size_t bytes() const;

  private:
    std::vector<ChangeStream> streams_;
    // Mapped once large, so growing never copies and freeing returns the memory at once.
    PodVec<uint64_t> times_;
};

}  // namespace tarn
