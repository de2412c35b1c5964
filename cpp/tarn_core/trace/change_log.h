// ChangeLog: the value changes of one stretch of a dump, in file order, for replay into the
// store of the stretches before it.
//
// A stretch parsed on another thread into a store of its own would have to be copied column by
// column into the first store and freed; its columns were allocated by that thread, in that
// thread's heap arena, and the freed memory could not serve the growing columns, so the peak grew
// by much of the stretch. A log is written and read front to back in chunks of its own, each
// unmapped once replayed: the first store grows while the log shrinks. Replaying makes the very
// calls one pass would make, in the same order, so the result is the one-pass result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "signal/store.h"
#include "signal/value.h"

namespace tarn {

// One stream of a log: the changes of some of the signals, each after a mark of how many
// stamps have begun since the stream's last change.
class ChangeStream {
  public:
    ChangeStream(uint64_t ids, uint8_t key_bytes)
        : advance_key_(ids << 2 | kOpOther), key_bytes_(key_bytes) {}
    ~ChangeStream();
    ChangeStream(ChangeStream&& o) noexcept;
    ChangeStream(const ChangeStream&) = delete;
    ChangeStream& operator=(const ChangeStream&) = delete;
    ChangeStream& operator=(ChangeStream&&) = delete;

    // Marks that the changes to come belong to stamp `stamp` (counted from 1).
    void at_stamp(uint64_t stamp) {
        if (stamp == marked_) return;
        room(kSmall);
        put_key(advance_key_);
        put_varint(stamp - marked_);
        marked_ = stamp;
    }
    void put_int(uint64_t id, uint64_t v) {
        room(kSmall);
        if (v <= 1) {
            put_key(id << 2 | v);
            return;
        }
        put_key(id << 2 | kOpInt);
        put_varint(v);
    }
    void put(uint64_t id, const SignalValue& v);
    void replay(SignalStore& store, uint64_t first_index);
    size_t bytes() const;

  private:
    // A key is id << 2 | op; op kOpOther with the id one past the last moves on by a number of
    // stamps.
    enum : uint8_t { kOpZero = 0, kOpOne = 1, kOpInt = 2, kOpOther = 3 };
    enum : uint8_t { kMissing = 0, kLogic = 1, kReal = 2, kWide = 3, kStr = 4 };
    // Enough for a key, a tag and a 64-bit number in any encoding, with room for the 8-byte
    // stores that write a shorter key.
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
    void put_key(uint64_t key) {
        std::memcpy(pos_, &key, 8);
        pos_ += key_bytes_;
    }
    void put_other(uint64_t id, uint8_t tag, size_t payload);
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
    uint64_t advance_key_;
    uint8_t key_bytes_;    // 2, 4 or 8: as few as hold every key
    uint64_t marked_ = 0;  // stamps marked so far
};

// A log in `streams` streams, each signal's changes in one of them, so that as many threads can
// replay it at once, each into its own signals' columns.
class ChangeLog {
  public:
    // Changes name signal ids below `ids`.
    ChangeLog(uint64_t ids, size_t streams);

    // The next sample index begins: the changes after it belong to it.
    void put_stamp() { ++stamps_; }
    void put_int(uint64_t id, uint64_t v) {
        ChangeStream& s = streams_[stream_of(id)];
        s.at_stamp(stamps_);
        s.put_int(id, v);
    }
    void put(uint64_t id, const SignalValue& v) {
        ChangeStream& s = streams_[stream_of(id)];
        s.at_stamp(stamps_);
        s.put(id, v);
    }

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
    uint64_t stamps_ = 0;
};

}  // namespace tarn
