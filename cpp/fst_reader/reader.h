// FstReader: opens an FST file, indexes its blocks, and decodes hierarchy and value changes.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "blocks.h"
#include "hierarchy.h"
#include "input.h"
#include "positions.h"
#include "types.h"

namespace fst {

struct MetaData {
    Header header;
    std::vector<SignalInfo> signals;
    std::vector<BlackoutChange> blackouts;
    std::vector<VcSection> sections;
    uint64_t hierarchy_position = 0;
    HierarchyCompression hierarchy_compression = HierarchyCompression::GZip;
    bool float_little_endian = true;
    std::optional<std::vector<uint64_t>> time_table;
};

struct SignalFilter {
    uint64_t start = 0;
    std::optional<uint64_t> end;                          // absent: the header's end time
    std::optional<std::vector<FstSignalHandle>> include;  // absent: every signal
};

struct ChangeValue {
    enum Kind : uint8_t { Bytes, Real };
    Kind kind = Bytes;
    std::span<const uint8_t> bytes;
    double real = 0;
};

// One value-change section, read up to the point where signals can be decoded one by one.
struct SectionData {
    uint64_t start_time = 0;
    uint64_t end_time = 0;
    std::vector<uint64_t> times;
    bool has_frame = false;  // the frame's values are to be reported
    std::vector<uint8_t> frame;
    // Per signal index; an alias entry carries its target's offset and length.
    std::vector<LocEntry> locs;
    size_t base = 0;  // input position of the pack-type byte
    uint8_t pack_type = 0;
};

// One decoded change record of a signal.
struct Record {
    enum Form : uint8_t { Char, Chars, Packed, VarBytes, Real };
    uint32_t delta = 0;
    Form form = Char;
    uint8_t ch = 0;
    std::span<const uint8_t> bytes;  // Chars: one character per bit; Packed: bits, MSB first
    double real = 0;
};

enum class RecordStatus : uint8_t { Ok, Eof, Leb128, PackedReal };
ReaderError record_error(RecordStatus s);

inline bool leb32_at(const uint8_t*& p, const uint8_t* end, uint32_t& v, RecordStatus& st) {
    uint32_t r = 0;
    for (unsigned i = 0; i < 5; ++i) {
        if (p == end) {
            st = RecordStatus::Eof;
            return false;
        }
        uint8_t b = *p++;
        if (i == 4) {
            if (b & 0x80) {
                st = RecordStatus::Leb128;
                return false;
            }
            v = r | (static_cast<uint32_t>(b) << 28);
            return true;
        }
        r |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) {
            v = r;
            return true;
        }
    }
    return false;
}

// Decodes the record at p and advances p past it.
inline RecordStatus decode_record(const uint8_t*& p, const uint8_t* end, SignalInfo info,
                                  bool float_le, Record& r) {
    RecordStatus st = RecordStatus::Ok;
    uint32_t x;
    if (!leb32_at(p, end, x, st)) return st;
    const uint32_t w = info.word();
    if (w == 2) {
        if (x & 1) {
            r.delta = x >> 4;
            r.ch = static_cast<uint8_t>("xzhuwl-?"[(x >> 1) & 7]);
        } else {
            r.delta = x >> 2;
            r.ch = static_cast<uint8_t>('0' + ((x >> 1) & 1));
        }
        r.form = Record::Char;
        return st;
    }
    r.delta = x >> 1;
    if (w == 0) {
        if (!(x & 1)) return RecordStatus::PackedReal;
        if (end - p < 8) return RecordStatus::Eof;
        r.form = Record::Real;
        r.real = read_double(p, float_le);
        p += 8;
        return st;
    }
    if (w == 1) {
        uint32_t k;
        if (!leb32_at(p, end, k, st)) return st;
        if (static_cast<size_t>(end - p) < k) return RecordStatus::Eof;
        r.form = Record::VarBytes;
        r.bytes = {p, k};
        p += k;
        return st;
    }
    const size_t m = w - 1;
    const size_t n = (x & 1) ? m : (m + 7) / 8;
    if (static_cast<size_t>(end - p) < n) return RecordStatus::Eof;
    r.form = (x & 1) ? Record::Chars : Record::Packed;
    r.bytes = {p, n};
    p += n;
    return st;
}

// Calls f(time_index, record) for each change record of one signal's decoded bytes, stopping
// before the first record at or beyond limit. Indices past count are an error.
template <class F>
Status for_each_record(std::span<const uint8_t> data, SignalInfo info, bool float_le, size_t count,
                       size_t limit, F&& f) {
    const uint8_t* p = data.data();
    const uint8_t* end = p + data.size();
    uint64_t k = 0;
    Record r;
    while (p < end) {
        RecordStatus st = decode_record(p, end, info, float_le, r);
        if (st != RecordStatus::Ok) return record_error(st);
        k += r.delta;
        if (k >= count) return ReaderError::invalid("value change beyond the section's time table");
        if (k >= limit) break;
        f(static_cast<size_t>(k), r);
    }
    return ok_status();
}

// Expands a two-state packed vector of m bits to characters '0'/'1'.
inline void expand_packed(std::span<const uint8_t> packed, size_t m, std::vector<uint8_t>& out) {
    out.resize(m);
    for (size_t j = 0; j < m; ++j) out[j] = '0' + ((packed[j / 8] >> (7 - (j % 8))) & 1);
}

class FstReader {
  public:
    static Result<FstReader> open_internal(Input input, bool read_time_table);
    static Result<FstReader> open_bytes(std::vector<uint8_t> bytes, bool read_time_table) {
        return open_internal(Input::from_bytes(std::move(bytes)), read_time_table);
    }

    const MetaData& meta() const { return meta_; }
    // Hands the time table over to the caller (meta().time_table is empty afterwards).
    std::vector<uint64_t> take_time_table() {
        std::vector<uint64_t> t;
        if (meta_.time_table) t.swap(*meta_.time_table);
        return t;
    }
    std::span<const uint8_t> input_bytes() const { return input_.bytes(); }

    Status read_hierarchy(const std::function<void(FstHierarchyEntry&&)>& callback) const;
    Status read_signals(
        const SignalFilter& filter,
        const std::function<void(uint64_t, FstSignalHandle, const ChangeValue&)>& callback) const;

    // Reads section j's time table, frame (when with_frame and the section starts before its
    // first time entry) and position table. Safe to call from several threads.
    Result<SectionData> read_section(size_t j, bool with_frame) const;
    // The decoded change-record bytes of signal index i (a Data or Alias entry) of a section.
    Result<std::span<const uint8_t>> signal_bytes(const SectionData& section, uint32_t i,
                                                  std::vector<uint8_t>& scratch) const;

    // Gives back the memory of a mapped file's section once it has been decoded.
    void release_section(size_t j) const;
    // The same for the data of signals [first, last] of a section (in file order, as writers
    // lay them out), so a large section need not stay resident while it is decoded. Reading
    // released bytes again is correct, only slower.
    void release_signals(const SectionData& section, uint32_t first, uint32_t last) const;

  private:
    friend struct HeaderReader;
    Input input_;
    MetaData meta_;
};

// State of the opening walk.
struct HeaderReader {
    Cursor in;
    bool collect_times = false;
    std::optional<HeaderBlock> header;
    std::optional<std::vector<SignalInfo>> signals;
    std::optional<std::vector<BlackoutChange>> blackouts;
    std::vector<VcSection> sections;
    std::optional<std::pair<uint64_t, HierarchyCompression>> hierarchy;
    std::optional<std::vector<uint64_t>> time_table;
    bool filling_header_times = false;
    bool truncated = false;

    Status walk();
    Status read_data(uint8_t code);
};

}  // namespace fst
