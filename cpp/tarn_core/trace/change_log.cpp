#include "trace/change_log.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>
#include <string>

namespace tarn {

namespace {

// Large enough that a chunk costs one mapping per megabyte, small enough that replay gives
// memory back soon after reading it.
constexpr size_t kChunkBytes = size_t(1) << 20;
// Reads and writes of a key move 8 bytes whatever its width.
constexpr size_t kOver = 8;

uint64_t get_varint(const uint8_t*& p) {
    uint64_t v = 0;
    for (unsigned shift = 0;; shift += 7) {
        uint8_t b = *p++;
        v |= uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80)) return v;
    }
}

}  // namespace

ChangeStream::ChangeStream(ChangeStream&& o) noexcept
    : chunks_(std::move(o.chunks_)),
      pos_(o.pos_),
      end_(o.end_),
      key_bytes_(o.key_bytes_),
      marked_(o.marked_) {
    o.chunks_.clear();
    o.pos_ = o.end_ = nullptr;
}

ChangeStream::~ChangeStream() {
    release_all();
}

void ChangeStream::release_all() {
    for (Chunk& c : chunks_)
        if (c.data) ::munmap(c.data, c.size);
    chunks_.clear();
    pos_ = end_ = nullptr;
}

void ChangeStream::seal() {
    if (!chunks_.empty()) chunks_.back().used = static_cast<size_t>(pos_ - chunks_.back().data);
}

void ChangeStream::new_chunk(size_t n) {
    seal();
    size_t size = kChunkBytes;
    if (n + kOver > size) size = (n + kOver + kChunkBytes - 1) / kChunkBytes * kChunkBytes;
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    chunks_.push_back(Chunk{static_cast<uint8_t*>(p), size, 0});
    pos_ = static_cast<uint8_t*>(p);
    end_ = pos_ + size - kOver;
}

// Head and tag of a value other than Int, with room for `payload` bytes after them.
void ChangeStream::put_other(uint64_t stamp, uint64_t id, uint8_t tag, size_t payload) {
    room(kSmall + payload);
    put_head(stamp, id, kOpOther);
    *pos_++ = tag;
}

void ChangeStream::put(uint64_t stamp, uint64_t id, const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return put_int(stamp, id, v.as_int());
        case Tag::Missing:
            return put_other(stamp, id, kMissing, 0);
        case Tag::Real: {
            put_other(stamp, id, kReal, 8);
            double x = v.as_real();
            return put_bytes(&x, 8);
        }
        case Tag::Logic: {
            const auto& bits = v.as_logic();
            put_other(stamp, id, kLogic, packed_logic_bytes(bits.size()));
            put_varint(bits.size());
            pack_logic(bits, pos_);
            pos_ += packed_logic_bytes(bits.size());
            return;
        }
        case Tag::Wide: {
            const auto& w = v.as_wide();
            put_other(stamp, id, kWide, 8 * w.size());
            put_varint(w.size());
            return put_bytes(w.data(), 8 * w.size());
        }
        case Tag::Str: {
            const auto& s = v.as_str();
            put_other(stamp, id, kStr, s.size());
            put_varint(s.size());
            return put_bytes(s.data(), s.size());
        }
    }
}

void ChangeStream::replay(SignalStore& store, uint64_t first_index) {
    seal();
    const uint64_t mask = key_bytes_ == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * key_bytes_)) - 1;
    // Stamp 1 is at first_index (unsigned arithmetic wraps back to it).
    uint64_t index = first_index - 1;
    for (Chunk& c : chunks_) {
        const uint8_t* p = c.data;
        const uint8_t* end = c.data + c.used;
        while (p < end) {
            uint64_t key;
            std::memcpy(&key, p, 8);
            key &= mask;
            p += key_bytes_;
            uint64_t id = key >> 3;
            if (key & kAdvanced) index += get_varint(p);
            switch (key & 3) {
                case kOpZero:
                case kOpOne:
                    store.append_int(id, index, key & 1);
                    continue;
                case kOpInt:
                    store.append_int(id, index, get_varint(p));
                    continue;
                default:
                    break;
            }
            uint8_t tag = *p++;
            if (tag == kMissing) {
                store.append(id, index, SignalValue::missing());
                continue;
            }
            if (tag == kReal) {
                double x;
                std::memcpy(&x, p, 8);
                p += 8;
                store.append(id, index, SignalValue::make_real(x));
                continue;
            }
            uint64_t n = get_varint(p);
            if (tag == kLogic) {
                store.append(id, index, SignalValue::make_logic(unpack_logic(p, n)));
                p += packed_logic_bytes(n);
            } else if (tag == kWide) {
                SignalValue::Words w(n);
                if (n) std::memcpy(w.data(), p, 8 * n);
                p += 8 * n;
                store.append(id, index, SignalValue::make_wide(std::move(w)));
            } else {
                std::string text(reinterpret_cast<const char*>(p), n);
                p += n;
                store.append(id, index, SignalValue::make_str(std::move(text)));
            }
        }
        // Replayed: give the memory back before the store grows further.
        ::munmap(c.data, c.size);
        c.data = nullptr;
    }
    release_all();
}

size_t ChangeStream::bytes() const {
    size_t b = 0;
    for (const Chunk& c : chunks_) b += c.size;
    return b;
}

ChangeLog::ChangeLog(uint64_t ids, size_t streams) {
    streams = std::max<size_t>(streams, 1);
    // The largest key: the last id with every flag set.
    uint64_t top_key = (ids ? ids - 1 : 0) << 3 | 7;
    uint8_t key_bytes = static_cast<uint8_t>((std::bit_width(top_key) + 7) / 8);
    streams_.reserve(streams);
    for (size_t k = 0; k < streams; ++k) streams_.emplace_back(key_bytes);
}

void ChangeLog::move_times(std::vector<uint64_t>& out) {
    out.insert(out.end(), times_.data(), times_.data() + times_.size());
    times_ = PodVec<uint64_t>();
}

size_t ChangeLog::bytes() const {
    size_t b = times_.capacity() * sizeof(uint64_t);
    for (const ChangeStream& s : streams_) b += s.bytes();
    return b;
}

}  // namespace tarn
