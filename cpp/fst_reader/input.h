// The bytes of an FST file and bounds-checked reading of them: the input (a mapped file or an
// owned buffer), a cursor, and the format's primitive fields (big-endian words, LEB128 numbers,
// NUL-terminated strings).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types.h"

namespace fst {

// The immutable bytes of one FST file: a read-only mapping of a file or an owned buffer.
class Input {
  public:
    // Maps the file; on failure returns nothing and sets err to the errno value.
    static std::optional<Input> map_file(const std::string& path, int& err);
    static Input from_bytes(std::vector<uint8_t> bytes);

    std::span<const uint8_t> bytes() const { return {data_, size_}; }
    // Tells the system that [offset, offset + len) will not be read again soon: a mapped file
    // gives those pages back (they are re-read from the file if touched again).
    void release(uint64_t offset, uint64_t len) const;

  private:
    struct Holder;
    std::shared_ptr<Holder> holder_;
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// A read position over a byte span; every read is bounds-checked.
class Cursor {
  public:
    Cursor() = default;
    explicit Cursor(std::span<const uint8_t> data, size_t pos = 0) : data_(data), pos_(pos) {}

    size_t pos() const { return pos_; }
    size_t size() const { return data_.size(); }
    size_t remaining() const { return data_.size() - pos_; }
    bool at_end() const { return pos_ >= data_.size(); }
    std::span<const uint8_t> data() const { return data_; }

    Status seek(uint64_t pos) {
        if (pos > data_.size()) return ReaderError::io();
        pos_ = static_cast<size_t>(pos);
        return ok_status();
    }
    Status skip(uint64_t n) {
        if (n > remaining()) return ReaderError::io();
        pos_ += static_cast<size_t>(n);
        return ok_status();
    }
    // Borrows the next n bytes.
    Result<std::span<const uint8_t>> take(uint64_t n) {
        if (n > remaining()) return ReaderError::io();
        auto s = data_.subspan(pos_, static_cast<size_t>(n));
        pos_ += static_cast<size_t>(n);
        return s;
    }

  private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

struct Leb32 {
    uint32_t value;
    uint32_t len;
};
struct Leb64 {
    uint64_t value;
    uint32_t len;
};

Result<uint8_t> read_u8(Cursor& in);
Result<int8_t> read_i8(Cursor& in);
Result<uint64_t> read_u64(Cursor& in);
Result<std::vector<uint8_t>> read_bytes(Cursor& in, uint64_t n);
Result<Leb32> read_variant_u32(Cursor& in);
Result<Leb64> read_variant_u64(Cursor& in);
Result<int64_t> read_variant_i64(Cursor& in);
Result<std::string> read_c_str(Cursor& in, size_t max);
Result<std::string> read_c_str_fixed_length(Cursor& in, size_t n);

// An IEEE double stored in 8 bytes of either byte order (the header says which).
inline double read_double(const uint8_t* b, bool little_endian) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[little_endian ? 7 - i : i];
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

}  // namespace fst
