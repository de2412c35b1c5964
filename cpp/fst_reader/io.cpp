#include "io.h"

#include <fcntl.h>
#include <lz4.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "fastlz.h"

namespace fst {

// ---- errors ------------------------------------------------------------------------------------

std::string ReaderError::display() const {
    switch (kind) {
        case ErrorKind::CStringTooLong:
            return "failed to read a null terminated string because it exceeds the expected size "
                   "of " +
                   std::to_string(number) + " bytes.\n" + text;
        case ErrorKind::EnumTableString:
            return "failed to parse an enum table string: " + text + "\n" + detail;
        case ErrorKind::Leb128:
            return "failed to read leb128 integer, more than the expected " +
                   std::to_string(number) + " bits";
        case ErrorKind::ParseInt:
            return "failed to parse an integer";
        case ErrorKind::Lz4Decompress:
            return "failed to decompress with lz4";
        case ErrorKind::ZLibDecompress:
            return "failed to decompress with zlib";
        case ErrorKind::GZipHeader:
            return "failed to parse a gzip header: " + text;
        case ErrorKind::GZipBody:
            return "failed to decompress gzip stream: " + text;
        case ErrorKind::Utf8:
        case ErrorKind::Utf8String:
            return "failed to decode string";
        case ErrorKind::Io:
            return "I/O operation failed";
        case ErrorKind::NotFinishedCompressing:
            return "The FST file is still being compressed into its final GZIP wrapper.";
        case ErrorKind::BlockType:
            return "Unexpected block type";
        case ErrorKind::FileType:
            return "Unexpected file type";
        case ErrorKind::FstVhdlVarType:
            return "Unexpected vhdl variable type";
        case ErrorKind::FstVhdlDataType:
            return "Unexpected vhdl data type";
        case ErrorKind::FstVarType:
            return "Unexpected variable type";
        case ErrorKind::FstScopeType:
            return "Unexpected scope type";
        case ErrorKind::FstVarDirection:
            return "Unexpected variable direction";
        case ErrorKind::AttributeType:
            return "Unexpected attribute type";
        case ErrorKind::MiscType:
            return "Unexpected misc attribute type";
        case ErrorKind::MissingGeometry:
            return "The FST file is incomplete: geometry block is missing.";
        case ErrorKind::MissingHierarchy:
            return "The FST file is incomplete: hierarchy block is missing.";
        case ErrorKind::MissingHeader:
            return "The FST file is incomplete: header block is missing.";
        case ErrorKind::FastLzDecompress:
            return "failed to decompress with fastlz";
        case ErrorKind::InvalidData:
            return "malformed FST data: " + text;
    }
    return "unknown error";
}

// ---- input -------------------------------------------------------------------------------------

struct Input::Holder {
    std::vector<uint8_t> owned;
    void* map = nullptr;
    size_t map_len = 0;
    ~Holder() {
        if (map) munmap(map, map_len);
    }
};

std::optional<Input> Input::map_file(const std::string& path, int& err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        err = errno;
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        err = errno;
        ::close(fd);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        err = EISDIR;
        return std::nullopt;
    }
    Input in;
    in.holder_ = std::make_shared<Holder>();
    size_t len = static_cast<size_t>(st.st_size);
    if (S_ISREG(st.st_mode) && len > 0) {
        void* p = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            ::close(fd);
            in.holder_->map = p;
            in.holder_->map_len = len;
            in.data_ = static_cast<const uint8_t*>(p);
            in.size_ = len;
            return in;
        }
    }
    // Not mappable (a pipe, a special file): read it whole.
    std::vector<uint8_t> buf;
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t r = ::read(fd, chunk, sizeof chunk);
        if (r < 0) {
            if (errno == EINTR) continue;
            err = errno;
            ::close(fd);
            return std::nullopt;
        }
        if (r == 0) break;
        buf.insert(buf.end(), chunk, chunk + r);
    }
    ::close(fd);
    return from_bytes(std::move(buf));
}

void Input::release(uint64_t offset, uint64_t len) const {
    if (!holder_ || !holder_->map || offset >= size_) return;
    len = std::min<uint64_t>(len, size_ - offset);
    const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    uint64_t begin = (offset + page - 1) / page * page;
    uint64_t end = (offset + len) / page * page;
    if (end > begin)
        madvise(const_cast<uint8_t*>(data_) + begin, static_cast<size_t>(end - begin),
                MADV_DONTNEED);
}

Input Input::from_bytes(std::vector<uint8_t> bytes) {
    Input in;
    in.holder_ = std::make_shared<Holder>();
    in.holder_->owned = std::move(bytes);
    in.data_ = in.holder_->owned.data();
    in.size_ = in.holder_->owned.size();
    return in;
}

// ---- primitive readers -------------------------------------------------------------------------

Result<uint8_t> read_u8(Cursor& in) {
    FST_ASSIGN(auto s, in.take(1));
    return s[0];
}

Result<int8_t> read_i8(Cursor& in) {
    FST_ASSIGN(auto s, in.take(1));
    return static_cast<int8_t>(s[0]);
}

Result<uint64_t> read_u64(Cursor& in) {
    FST_ASSIGN(auto s, in.take(8));
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | s[i];
    return v;
}

Result<std::vector<uint8_t>> read_bytes(Cursor& in, uint64_t n) {
    FST_ASSIGN(auto s, in.take(n));
    return std::vector<uint8_t>(s.begin(), s.end());
}

Result<Leb32> read_variant_u32(Cursor& in) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < 5; ++i) {
        FST_ASSIGN(uint8_t b, read_u8(in));
        if (i == 4) {
            if (b & 0x80) return ReaderError::code(ErrorKind::Leb128, 32);
            v |= static_cast<uint32_t>(b) << 28;
            return Leb32{v, 5};
        }
        v |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) return Leb32{v, i + 1};
    }
    return ReaderError::code(ErrorKind::Leb128, 32);
}

Result<Leb64> read_variant_u64(Cursor& in) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < 10; ++i) {
        FST_ASSIGN(uint8_t b, read_u8(in));
        if (i == 9) {
            if (b & 0x80) return ReaderError::code(ErrorKind::Leb128, 64);
            v |= static_cast<uint64_t>(b) << 63;
            return Leb64{v, 10};
        }
        v |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) return Leb64{v, i + 1};
    }
    return ReaderError::code(ErrorKind::Leb128, 64);
}

Result<int64_t> read_variant_i64(Cursor& in) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < 10; ++i) {
        FST_ASSIGN(uint8_t b, read_u8(in));
        unsigned shift = 7 * i;
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            shift += 7;
            if (shift < 64 && (b & 0x40)) v |= ~uint64_t{0} << shift;
            return static_cast<int64_t>(v);
        }
    }
    return ReaderError::code(ErrorKind::Leb128, 64);
}

bool utf8_valid(std::span<const uint8_t> s) {
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::string utf8_lossy(std::span<const uint8_t> s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        // Longest valid sequence starting here, else one replacement character per bad byte run.
        size_t len = 1;
        uint8_t c = s[i];
        if (c >= 0xC0 && c < 0xE0)
            len = 2;
        else if (c >= 0xE0 && c < 0xF0)
            len = 3;
        else if (c >= 0xF0)
            len = 4;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if (i + len <= s.size() && utf8_valid(s.subspan(i, len))) {
            out.append(reinterpret_cast<const char*>(s.data() + i), len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
            while (i < s.size() && (s[i] & 0xC0) == 0x80) ++i;
        }
    }
    return out;
}

Result<std::string> read_c_str(Cursor& in, size_t max) {
    auto rest = in.data().subspan(in.pos());
    size_t scan = std::min(max, rest.size());
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(rest.data(), 0, scan));
    if (!z) {
        if (rest.size() >= max)
            return ReaderError{ErrorKind::CStringTooLong, max, utf8_lossy(rest.first(max)), {}};
        return ReaderError::io();
    }
    size_t len = static_cast<size_t>(z - rest.data());
    auto text = rest.first(len);
    if (!utf8_valid(text)) return ReaderError::plain(ErrorKind::Utf8String);
    (void)in.skip(len + 1);
    return std::string(reinterpret_cast<const char*>(text.data()), len);
}

Result<std::string> read_c_str_fixed_length(Cursor& in, size_t n) {
    FST_ASSIGN(auto field, in.take(n));
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(field.data(), 0, n));
    size_t len = z ? static_cast<size_t>(z - field.data()) : (n > 0 ? n - 1 : 0);
    auto text = field.first(len);
    if (!utf8_valid(text)) return ReaderError::plain(ErrorKind::Utf8String);
    return std::string(reinterpret_cast<const char*>(text.data()), len);
}

static std::string hex(uint8_t b) {
    static const char* d = "0123456789abcdef";
    std::string s;
    if (b >= 16) s.push_back(d[b >> 4]);
    s.push_back(d[b & 15]);
    return s;
}

Status read_gzip_header(Cursor& in) {
    FST_ASSIGN(auto h, in.take(10));
    if (h[0] != 0x1f || h[1] != 0x8b) {
        std::string list = "[";
        for (size_t i = 0; i < 10; ++i) list += (i ? ", " : "") + hex(h[i]);
        list += "]";
        return ReaderError{
            ErrorKind::GZipHeader, 0, "expected magic bytes (0x1f, 0x8b) got " + list, {}};
    }
    if (h[2] != 8)
        return ReaderError{
            ErrorKind::GZipHeader, 0, "expected deflate compression (8) got " + hex(h[2]), {}};
    if (h[3] != 0)
        return ReaderError{ErrorKind::GZipHeader,
                           0,
                           "TODO currently extra flags are not supported " + std::to_string(h[3]),
                           {}};
    return ok_status();
}

// ---- block parsers -----------------------------------------------------------------------------

static double double_from(std::span<const uint8_t> b, bool little_endian) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[little_endian ? 7 - i : i];
    double d;
    std::memcpy(&d, &v, sizeof d);
    return d;
}

Result<HeaderBlock> read_header(Cursor& in) {
    HeaderBlock hb;
    Header& h = hb.header;
    FST_ASSIGN(uint64_t len, read_u64(in));
    if (len != 329) return ReaderError::invalid("header block section length is not 329");
    FST_ASSIGN(h.start_time, read_u64(in));
    FST_ASSIGN(h.end_time, read_u64(in));
    FST_ASSIGN(auto e, in.take(8));
    constexpr double kE = 2.718281828459045;
    if (double_from(e, true) == kE)
        hb.float_little_endian = true;
    else if (double_from(e, false) == kE)
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
    // lets a small file demand gigabytes. But every signal a writer declares also costs the
    // file a named hierarchy entry: far more signals than the file has bytes is corrupt. An
    // entry is a LEB128 number of at most five bytes.
    constexpr uint64_t kMaxSignalsPerByte = 16;
    if (max_handle > kMaxSignalsPerByte * in.size()) return ReaderError::io();
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

// ---- decompression -----------------------------------------------------------------------------

// Largest expansion the formats can achieve; a claimed length beyond it is corrupt, and the check
// keeps a hostile length from sizing an allocation.
static constexpr uint64_t kDeflateMaxRatio = 1032;
static constexpr uint64_t kLz4MaxRatio = 256;

Status zlib_decode(std::span<const uint8_t> src, uint64_t ulen, std::vector<uint8_t>& out,
                   bool raw_deflate) {
    if (ulen > src.size() * kDeflateMaxRatio + 64)
        return ReaderError::plain(ErrorKind::ZLibDecompress);
    out.resize(static_cast<size_t>(ulen));
    z_stream zs{};
    if (inflateInit2(&zs, raw_deflate ? -MAX_WBITS : MAX_WBITS) != Z_OK)
        return ReaderError::plain(ErrorKind::ZLibDecompress);
    constexpr size_t kChunk = size_t{1} << 30;
    size_t in_off = 0, out_off = 0;
    uint8_t dummy = 0;
    bool ended = false;
    for (;;) {
        size_t ai = std::min(src.size() - in_off, kChunk);
        size_t ao = std::min(out.size() - out_off, kChunk);
        zs.next_in = const_cast<Bytef*>(src.data() + in_off);
        zs.avail_in = static_cast<uInt>(ai);
        zs.next_out = ao ? out.data() + out_off : &dummy;
        zs.avail_out = static_cast<uInt>(ao);
        int st = inflate(&zs, Z_NO_FLUSH);
        in_off += ai - zs.avail_in;
        out_off += ao - zs.avail_out;
        if (st == Z_STREAM_END) {
            ended = true;
            break;
        }
        if (st != Z_OK) break;
    }
    inflateEnd(&zs);
    if (!ended || out_off != out.size()) return ReaderError::plain(ErrorKind::ZLibDecompress);
    return ok_status();
}

Status lz4_decode(std::span<const uint8_t> src, uint64_t ulen, std::vector<uint8_t>& out) {
    if (src.size() > INT_MAX || ulen > INT_MAX || ulen > src.size() * kLz4MaxRatio + 64)
        return ReaderError::plain(ErrorKind::Lz4Decompress);
    out.resize(static_cast<size_t>(ulen));
    char dummy = 0;
    int r = LZ4_decompress_safe(reinterpret_cast<const char*>(src.data()),
                                ulen ? reinterpret_cast<char*>(out.data()) : &dummy,
                                static_cast<int>(src.size()), static_cast<int>(ulen));
    if (r < 0 || static_cast<uint64_t>(r) != ulen)
        return ReaderError::plain(ErrorKind::Lz4Decompress);
    return ok_status();
}

Result<std::vector<uint8_t>> read_zlib_compressed_bytes(Cursor& in, uint64_t ulen, uint64_t clen,
                                                        bool allow_uncompressed) {
    FST_ASSIGN(auto src, in.take(clen));
    if (allow_uncompressed && clen == ulen) return std::vector<uint8_t>(src.begin(), src.end());
    std::vector<uint8_t> out;
    FST_CHECK(zlib_decode(src, ulen, out, false));
    return out;
}

Result<std::vector<uint8_t>> read_lz4_compressed_bytes(Cursor& in, uint64_t ulen, uint64_t clen) {
    FST_ASSIGN(auto src, in.take(clen));
    std::vector<uint8_t> out;
    FST_CHECK(lz4_decode(src, ulen, out));
    return out;
}

static const char* zlib_status_name(int st) {
    switch (st) {
        case Z_ERRNO:
            return "ErrNo";
        case Z_STREAM_ERROR:
            return "Stream";
        case Z_DATA_ERROR:
            return "Data";
        case Z_MEM_ERROR:
            return "Mem";
        case Z_BUF_ERROR:
            return "Buf";
        case Z_VERSION_ERROR:
            return "Version";
        case Z_NEED_DICT:
            return "NeedDict";
        default:
            return "Param";
    }
}

Result<std::vector<uint8_t>> inflate_gzip_wrapper(Cursor& in, uint64_t ulen) {
    std::vector<uint8_t> out;
    if (ulen == 0) return out;
    z_stream zs{};
    if (inflateInit2(&zs, -MAX_WBITS) != Z_OK)
        return ReaderError{ErrorKind::GZipBody, 0, "Mem", {}};
    constexpr size_t kIn = 16 * 1024, kOut = 64 * 1024;
    std::vector<uint8_t> window(kOut);
    int failure = Z_OK;
    for (;;) {
        size_t ai = std::min(in.remaining(), kIn);
        auto chunk = in.data().subspan(in.pos(), ai);
        zs.next_in = const_cast<Bytef*>(chunk.data());
        zs.avail_in = static_cast<uInt>(ai);
        bool ended = false;
        // Drain this input chunk fully before reading the next one.
        do {
            zs.next_out = window.data();
            zs.avail_out = static_cast<uInt>(kOut);
            int st = inflate(&zs, Z_NO_FLUSH);
            size_t produced = kOut - zs.avail_out;
            size_t take = static_cast<size_t>(std::min<uint64_t>(produced, ulen - out.size()));
            out.insert(out.end(), window.begin(), window.begin() + static_cast<ptrdiff_t>(take));
            if (st == Z_STREAM_END || out.size() == ulen) {
                ended = true;
                break;
            }
            if (st != Z_OK) {
                failure = st;
                break;
            }
        } while (zs.avail_in > 0 || zs.avail_out == 0);
        (void)in.skip(ai - zs.avail_in);
        if (ended || failure != Z_OK) break;
    }
    inflateEnd(&zs);
    if (failure != Z_OK) return ReaderError{ErrorKind::GZipBody, 0, zlib_status_name(failure), {}};
    return out;
}

Result<std::span<const uint8_t>> read_packed_signal_value_bytes(Cursor& in, uint64_t len,
                                                                uint8_t pack_type,
                                                                std::vector<uint8_t>& scratch) {
    FST_ASSIGN(auto block, in.take(len));
    Cursor c(block);
    FST_ASSIGN(Leb32 u, read_variant_u32(c));
    auto data = block.subspan(u.len);
    if (u.value == 0) return data;
    if (pack_type == '4') {
        FST_CHECK(lz4_decode(data, u.value, scratch));
    } else if (pack_type == 'F') {
        FST_CHECK(fastlz_decode(data, u.value, scratch));
    } else {
        FST_CHECK(zlib_decode(data, u.value, scratch, false));
    }
    return std::span<const uint8_t>(scratch);
}

// ---- hierarchy ---------------------------------------------------------------------------------

Result<std::vector<uint8_t>> read_hierarchy_bytes(Cursor& in, HierarchyCompression comp) {
    FST_ASSIGN(uint64_t len, read_u64(in));
    FST_ASSIGN(uint64_t ulen, read_u64(in));
    std::vector<uint8_t> out;
    switch (comp) {
        case HierarchyCompression::GZip: {
            FST_CHECK(read_gzip_header(in));
            if (len < 26)
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 26));
            FST_CHECK(zlib_decode(src, ulen, out, true));
            break;
        }
        case HierarchyCompression::Lz4: {
            if (len < 16)
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 16));
            FST_CHECK(lz4_decode(src, ulen, out));
            break;
        }
        case HierarchyCompression::Lz4Duo: {
            FST_ASSIGN(Leb64 mid_len, read_variant_u64(in));
            if (len < 16 + uint64_t{mid_len.len})
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 16 - mid_len.len));
            std::vector<uint8_t> mid;
            FST_CHECK(lz4_decode(src, mid_len.value, mid));
            FST_CHECK(lz4_decode(mid, ulen, out));
            break;
        }
    }
    return out;
}

static bool parse_u32_decimal(const std::string& s, uint32_t& out) {
    size_t i = (!s.empty() && s[0] == '+') ? 1 : 0;
    if (i == s.size()) return false;
    uint64_t v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
        if (v > UINT32_MAX) return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

Result<FstHierarchyEntry> parse_misc_attribute(uint8_t subtype, std::string text, uint64_t arg,
                                               uint64_t path_id) {
    switch (subtype) {
        case 0:
            return FstHierarchyEntry(AttrComment{std::move(text)});
        case 2: {
            uint8_t var_type = static_cast<uint8_t>(arg >> 10);
            if (var_type > 5) return ReaderError::code(ErrorKind::FstVhdlVarType, var_type);
            uint8_t data_type = static_cast<uint8_t>(arg);
            if (data_type > 16) return ReaderError::code(ErrorKind::FstVhdlDataType, data_type);
            return FstHierarchyEntry(AttrVhdlInfo{std::move(text), var_type, data_type});
        }
        case 3:
            return FstHierarchyEntry(AttrPathName{arg, std::move(text)});
        case 4:
        case 5:
            return FstHierarchyEntry(AttrSourceStem{subtype == 5, path_id, arg});
        case 7: {
            if (text.empty()) return FstHierarchyEntry(AttrEnumTableRef{arg});
            std::vector<std::string> parts;
            size_t start = 0;
            for (;;) {
                size_t sp = text.find(' ', start);
                parts.push_back(text.substr(start, sp == std::string::npos ? sp : sp - start));
                if (sp == std::string::npos) break;
                start = sp + 1;
            }
            if (parts.size() < 2)
                return ReaderError{ErrorKind::EnumTableString, 0, "not enough spaces", text};
            uint32_t n = 0;
            if (!parse_u32_decimal(parts[1], n)) return ReaderError::plain(ErrorKind::ParseInt);
            uint64_t want = 2 * uint64_t{n};
            if (parts.size() - 2 != want)
                return ReaderError{ErrorKind::EnumTableString, 0,
                                   "expected " + std::to_string(want) + " parts got " +
                                       std::to_string(parts.size() - 2),
                                   text};
            AttrEnumTable t{parts[0], arg, {}};
            t.pairs.reserve(n);
            for (uint32_t i = 0; i < n; ++i)
                t.pairs.emplace_back(std::move(parts[2 + n + i]), std::move(parts[2 + i]));
            return FstHierarchyEntry(std::move(t));
        }
        default:
            return ReaderError::code(ErrorKind::MiscType, subtype);
    }
}

Result<std::optional<FstHierarchyEntry>> read_hierarchy_entry(Cursor& in, uint32_t& handle_count) {
    using Out = std::optional<FstHierarchyEntry>;
    for (;;) {
        if (in.at_end()) return Out{};
        FST_ASSIGN(uint8_t tag, read_u8(in));
        if (tag <= 29) {
            Variable v;
            v.var_type = tag;
            FST_ASSIGN(v.direction, read_u8(in));
            if (v.direction > 5) return ReaderError::code(ErrorKind::FstVarDirection, v.direction);
            FST_ASSIGN(v.name, read_c_str(in, 65536));
            FST_ASSIGN(Leb32 len, read_variant_u32(in));
            FST_ASSIGN(Leb32 alias, read_variant_u32(in));
            v.width = tag == 18 ? (len.value - 2) / 3 : len.value;
            if (alias.value == 0) {
                if (++handle_count == 0) return ReaderError::invalid("too many signal handles");
                v.handle = FstSignalHandle::from_index(handle_count - 1);
            } else {
                v.handle = FstSignalHandle::from_index(alias.value - 1);
                v.aliased = true;
            }
            return Out{std::move(v)};
        }
        switch (tag) {
            case 254: {
                OpenScope s;
                FST_ASSIGN(s.scope_type, read_u8(in));
                if (s.scope_type >= 23 && s.scope_type <= 251)
                    return ReaderError::code(ErrorKind::FstScopeType, s.scope_type);
                FST_ASSIGN(s.name, read_c_str(in, 65536));
                FST_ASSIGN(s.component, read_c_str(in, 65536));
                return Out{std::move(s)};
            }
            case 255:
                return Out{CloseScope{}};
            case 253:
                return Out{AttrEnd{}};
            case 252: {
                FST_ASSIGN(uint8_t kind, read_u8(in));
                if (kind > 3) return ReaderError::code(ErrorKind::AttributeType, kind);
                FST_ASSIGN(uint8_t subtype, read_u8(in));
                if (subtype > 8) return ReaderError::code(ErrorKind::MiscType, subtype);
                if (kind == 0 && (subtype == 4 || subtype == 5)) {
                    FST_ASSIGN(Leb64 path_id, read_variant_u64(in));
                    FST_ASSIGN(uint8_t zero, read_u8(in));
                    if (zero != 0)
                        return ReaderError::invalid("source stem attribute lacks its zero byte");
                    FST_ASSIGN(Leb64 line, read_variant_u64(in));
                    FST_ASSIGN(auto e,
                               parse_misc_attribute(subtype, {}, line.value, path_id.value));
                    return Out{std::move(e)};
                }
                FST_ASSIGN(std::string text, read_c_str(in, 69632));
                FST_ASSIGN(Leb64 arg, read_variant_u64(in));
                // Array, enum and pack attributes and the environment, value-list and unknown
                // misc subtypes carry nothing this reader uses: skip them.
                if (kind != 0 || subtype == 1 || subtype == 6 || subtype == 8) continue;
                FST_ASSIGN(auto e, parse_misc_attribute(subtype, std::move(text), arg.value, 0));
                return Out{std::move(e)};
            }
            default:
                return ReaderError::code(ErrorKind::FstVarType, tag);
        }
    }
}

// ---- position tables ---------------------------------------------------------------------------

// Shared checks: offsets and lengths inside the data area, aliases pointing at data entries.
static Status finish_locs(std::vector<LocEntry>& e, uint64_t open, uint64_t running,
                          uint64_t data_len) {
    if (open != UINT64_MAX) {
        if (running >= data_len) return ReaderError::invalid("signal data offset out of range");
        e[open].length = static_cast<uint32_t>(std::min<uint64_t>(data_len - running, UINT32_MAX));
    }
    for (auto& x : e) {
        if (x.kind == LocEntry::Data) {
            if (x.offset == 0 || x.length == 0 || uint64_t{x.offset} + x.length > data_len)
                return ReaderError::invalid("signal data position out of range");
        }
    }
    for (auto& x : e) {
        if (x.kind == LocEntry::Alias && (x.alias >= e.size() || e[x.alias].kind != LocEntry::Data))
            return ReaderError::invalid("signal alias does not name a signal with data");
    }
    return ok_status();
}

static Status start_data(std::vector<LocEntry>& e, uint64_t i, uint64_t d, uint64_t& open,
                         uint64_t& running) {
    if (i >= e.size()) return ReaderError::invalid("position table has too many entries");
    running += d;
    if (running > UINT32_MAX || d > UINT32_MAX)
        return ReaderError::invalid("signal data offset out of range");
    if (open != UINT64_MAX) e[open].length = static_cast<uint32_t>(d);
    e[i].kind = LocEntry::Data;
    e[i].offset = static_cast<uint32_t>(running);
    open = i;
    return ok_status();
}

Result<std::vector<LocEntry>> read_value_change_alias(std::span<const uint8_t> table, uint64_t n,
                                                      uint64_t data_len) {
    // n has been checked against the geometry by the caller.
    std::vector<LocEntry> e(static_cast<size_t>(n));
    Cursor c(table);
    uint64_t i = 0, running = 0, open = UINT64_MAX;
    while (!c.at_end()) {
        FST_ASSIGN(Leb32 x, read_variant_u32(c));
        if (x.value & 1) {
            FST_CHECK(start_data(e, i, x.value >> 1, open, running));
            ++i;
        } else if (x.value != 0) {
            i += x.value >> 1;
        } else {
            FST_ASSIGN(Leb32 a, read_variant_u32(c));
            if (i >= n) return ReaderError::invalid("position table has too many entries");
            if (a.value == 0) return ReaderError::invalid("signal alias does not name a signal");
            e[i].kind = LocEntry::Alias;
            e[i].alias = a.value - 1;
            ++i;
        }
    }
    FST_CHECK(finish_locs(e, open, running, data_len));
    return e;
}

Result<std::vector<LocEntry>> read_value_change_alias2(std::span<const uint8_t> table, uint64_t n,
                                                       uint64_t data_len) {
    // n has been checked against the geometry by the caller.
    std::vector<LocEntry> e(static_cast<size_t>(n));
    Cursor c(table);
    uint64_t i = 0, running = 0, open = UINT64_MAX;
    uint32_t last_alias = 0;
    while (!c.at_end()) {
        if (c.data()[c.pos()] & 1) {
            FST_ASSIGN(int64_t v, read_variant_i64(c));
            int64_t h = v >> 1;
            if (i >= n) return ReaderError::invalid("position table has too many entries");
            if (h > 0) {
                FST_CHECK(start_data(e, i, static_cast<uint64_t>(h), open, running));
            } else if (h < 0) {
                uint64_t target = ~static_cast<uint64_t>(h);
                if (target >= n) return ReaderError::invalid("signal alias does not name a signal");
                e[i].kind = LocEntry::Alias;
                e[i].alias = static_cast<uint32_t>(target);
                last_alias = e[i].alias;
            } else {
                e[i].kind = LocEntry::Alias;
                e[i].alias = last_alias;
            }
            ++i;
        } else {
            FST_ASSIGN(Leb32 x, read_variant_u32(c));
            i += x.value >> 1;
        }
    }
    FST_CHECK(finish_locs(e, open, running, data_len));
    return e;
}

Result<uint32_t> read_one_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset) {
    Cursor c(bytes, std::min(offset, bytes.size()));
    FST_ASSIGN(Leb32 x, read_variant_u32(c));
    return (x.value & 1) ? x.value >> 4 : x.value >> 2;
}

Result<uint32_t> read_multi_bit_signal_time_delta(std::span<const uint8_t> bytes, size_t offset) {
    Cursor c(bytes, std::min(offset, bytes.size()));
    FST_ASSIGN(Leb32 x, read_variant_u32(c));
    return x.value >> 1;
}

}  // namespace fst
