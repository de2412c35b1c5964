#include "blocks.h"

#include "decompress.h"
#include "size_limits.h"

namespace fst {

Result<HeaderBlock> read_header(Cursor& in) {
    HeaderBlock hb;
    Header& h = hb.header;
    FST_ASSIGN(uint64_t len, read_u64(in));
    if (len != 329) return ReaderError::invalid("header block section length is not 329");
    FST_ASSIGN(h.start_time, read_u64(in));
    FST_ASSIGN(h.end_time, read_u64(in));
    FST_ASSIGN(auto e, in.take(8));
    constexpr double kE = 2.718281828459045;
    if (read_double(e.data(), true) == kE)
        hb.float_little_endian = true;
    else if (read_double(e.data(), false) == kE)
        hb.float_little_endian = false;
    else
        return ReaderError::invalid("header block endianness test is not the number e");
    FST_ASSIGN(h.writer_memory_use, read_u64(in));
    FST_ASSIGN(h.scope_count, read_u64(in));
    FST_ASSIGN(h.hierarchy_var_count, read_u64(in));
    FST_ASSIGN(h.var_count, read_u64(in));
    FST_ASSIGN(h.vc_section_count, read_u64(in));
    FST_ASSIGN(h.timescale_exponent, read_i8(in));
    FST_ASSIGN(h.writer, read_c_str_fixed_length(in, 128));
    FST_ASSIGN(h.date, read_c_str_fixed_length(in, 119));
    FST_ASSIGN(h.file_type, read_u8(in));
    if (h.file_type > 2) return ReaderError::code(ErrorKind::FileType, h.file_type);
    FST_ASSIGN(uint64_t tz, read_u64(in));
    h.time_zero = static_cast<int64_t>(tz);
    return hb;
}

Result<std::vector<SignalInfo>> read_geometry(Cursor& in) {
    FST_ASSIGN(uint64_t len, read_u64(in));
    FST_ASSIGN(uint64_t ulen, read_u64(in));
    FST_ASSIGN(uint64_t max_handle, read_u64(in));
    if (len < 24) return ReaderError::invalid("geometry block section length is too small");
    // The geometry compresses very well (a byte per one-bit signal), so its claimed size alone
    // lets a small file demand gigabytes: bound the signals by the file's size. An entry is a
    // LEB128 number of at most five bytes.
    if (max_handle > limits::kSignalsPerByte * in.size()) return ReaderError::io();
    if (ulen > 5 * max_handle + 5) return ReaderError::plain(ErrorKind::ZLibDecompress);
    FST_ASSIGN(auto payload, read_zlib_compressed_bytes(in, ulen, len - 24, true));
    // Every entry takes at least one byte, which bounds the list by the payload.
    if (max_handle > payload.size() || max_handle > UINT32_MAX) return ReaderError::io();
    std::vector<SignalInfo> out;
    out.reserve(static_cast<size_t>(max_handle));
    Cursor c(payload);
    for (uint64_t i = 0; i < max_handle; ++i) {
        FST_ASSIGN(Leb32 v, read_variant_u32(c));
        out.push_back(SignalInfo::from_file_format(v.value));
    }
    return out;
}

Result<std::vector<BlackoutChange>> read_blackout(Cursor& in) {
    size_t p = in.pos();
    FST_ASSIGN(uint64_t len, read_u64(in));
    FST_ASSIGN(Leb32 count, read_variant_u32(in));
    if (count.value > in.remaining() / 2) return ReaderError::io();
    std::vector<BlackoutChange> out;
    out.reserve(count.value);
    uint64_t t = 0;
    for (uint32_t i = 0; i < count.value; ++i) {
        FST_ASSIGN(uint8_t active, read_u8(in));
        FST_ASSIGN(Leb64 d, read_variant_u64(in));
        t += d.value;
        out.push_back({t, active != 0});
    }
    if (in.pos() - p != len)
        return ReaderError::invalid("blackout entries do not end at the end of their block");
    return out;
}

Result<TimeTable> read_time_table(Cursor& in, uint64_t s, uint64_t len) {
    if (len < 24 || s > in.size() || len > in.size() - s) return ReaderError::io();
    uint64_t end = s + len;
    FST_CHECK(in.seek(end - 24));
    FST_ASSIGN(uint64_t ulen, read_u64(in));
    FST_ASSIGN(uint64_t clen, read_u64(in));
    FST_ASSIGN(uint64_t count, read_u64(in));
    if (clen > len - 24)
        return ReaderError::invalid("time table compressed length exceeds its section");
    FST_CHECK(in.seek(end - 24 - clen));
    FST_ASSIGN(auto payload, read_zlib_compressed_bytes(in, ulen, clen, true));
    if (count > payload.size()) return ReaderError::io();
    TimeTable tt;
    tt.trailing_length = clen + 24;
    tt.times.reserve(static_cast<size_t>(count));
    Cursor c(payload);
    uint64_t t = 0;
    for (uint64_t i = 0; i < count; ++i) {
        FST_ASSIGN(Leb64 d, read_variant_u64(c));
        t += d.value;
        tt.times.push_back(t);
    }
    return tt;
}

}  // namespace fst
