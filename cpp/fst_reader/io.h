// Byte-level reading of FST files: the input, primitive readers, block parsers,
// decompression, hierarchy entries and value-change position tables.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
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

// ---- primitive readers -------------------------------------------------------------------------

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
Status read_gzip_header(Cursor& in);

// Lenient UTF-8 decoding (invalid sequences become U+FFFD) and strict validation.
std::string utf8_lossy(std::span<const uint8_t> bytes);
bool utf8_valid(std::span<const uint8_t> bytes);

// ---- block parsers -----------------------------------------------------------------------------

struct HeaderBlock {
    Header header;
    bool float_little_endian = true;
};

// Each parser starts right after the block's type byte.
Result<HeaderBlock> read_header(Cursor& in);
Result<std::vector<SignalInfo>> read_geometry(Cursor& in);
Result<std::vector<BlackoutChange>> read_blackout(Cursor& in);

struct TimeTable {
    std::vector<uint64_t> times;
    uint64_t trailing_length = 0;  // compressed length + 24
};
Result<TimeTable> read_time_table(Cursor& in, uint64_t section_start, uint64_t section_length);

// ---- decompression -----------------------------------------------------------------------------

Result<std::vector<uint8_t>> read_zlib_compressed_bytes(Cursor& in, uint64_t uncompressed_length,
                                                        uint64_t compressed_length,
                                                        bool allow_uncompressed);
Result<std::vector<uint8_t>> read_lz4_compressed_bytes(Cursor& in, uint64_t uncompressed_length,
                                                       uint64_t compressed_length);
// Inflates the gzip wrapper's raw deflate stream, producing at most uncompressed_length bytes.
Result<std::vector<uint8_t>> inflate_gzip_wrapper(Cursor& in, uint64_t uncompressed_length);

// Buffer-reusing decoders: out is resized to the decoded length.
Status zlib_decode(std::span<const uint8_t> src, uint64_t uncompressed_length,
                   std::vector<uint8_t>& out, bool raw_deflate);
Status lz4_decode(std::span<const uint8_t> src, uint64_t uncompressed_length,
                  std::vector<uint8_t>& out);

// One signal's packed value data of len bytes. Returns a view either into the input (raw
// storage) or into scratch (decoded).
Result<std::span<const uint8_t>> read_packed_signal_value_bytes(Cursor& in, uint64_t len,
                                                                uint8_t pack_type,
                                                                std::vector<uint8_t>& scratch);

// ---- hierarchy ---------------------------------------------------------------------------------

struct OpenScope {
    uint8_t scope_type = 0;
    std::string name;
    std::string component;
};
struct CloseScope {};
struct Variable {
    uint8_t var_type = 0;
    uint8_t direction = 0;
    std::string name;
    uint32_t width = 0;
    FstSignalHandle handle = FstSignalHandle::from_index(0);
    bool aliased = false;
};
struct AttrPathName {
    uint64_t path_id = 0;
    std::string path;
};
struct AttrSourceStem {
    bool instance = false;
    uint64_t path_id = 0;
    uint64_t line = 0;
};
struct AttrComment {
    std::string text;
};
struct AttrEnumTable {
    std::string table_name;
    uint64_t table_handle = 0;
    std::vector<std::pair<std::string, std::string>> pairs;  // (value, literal name)
};
struct AttrEnumTableRef {
    uint64_t table_handle = 0;
};
struct AttrVhdlInfo {
    std::string type_name;
    uint8_t vhdl_var_type = 0;
    uint8_t vhdl_data_type = 0;
};
struct AttrEnd {};

using FstHierarchyEntry =
    std::variant<OpenScope, CloseScope, Variable, AttrPathName, AttrSourceStem, AttrComment,
                 AttrEnumTable, AttrEnumTableRef, AttrVhdlInfo, AttrEnd>;

// Reads the two lengths and the payload of a hierarchy block (cursor after the type byte).
Result<std::vector<uint8_t>> read_hierarchy_bytes(Cursor& in, HierarchyCompression compression);
// The next entry, or nothing at the end of the bytes. Attribute kinds and misc subtypes that
// carry no meaning for this reader are skipped.
Result<std::optional<FstHierarchyEntry>> read_hierarchy_entry(Cursor& in, uint32_t& handle_count);
Result<FstHierarchyEntry> parse_misc_attribute(uint8_t subtype, std::string text, uint64_t arg,
                                               uint64_t path_id);

// ---- value-change position tables --------------------------------------------------------------

struct LocEntry {
    enum Kind : uint8_t { Empty, Alias, Data };
    Kind kind = Empty;
    uint32_t alias = 0;  // target signal index for Alias
    uint32_t offset = 0;
    uint32_t length = 0;
};

// Position tables of block codes 1 and 5, and of code 8. n is the section's signal count, data_len
// the length D of the value-change data area counted from the pack-type byte.
Result<std::vector<LocEntry>> read_value_change_alias(std::span<const uint8_t> table, uint64_t n,
                                                      uint64_t data_len);
Result<std::vector<LocEntry>> read_value_change_alias2(std::span<const uint8_t> table, uint64_t n,
                                                       uint64_t data_len);

// Time-index delta of the change record at offset in a signal's decoded bytes.
Result<uint32_t> read_one_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset);
Result<uint32_t> read_multi_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset);

}  // namespace fst
