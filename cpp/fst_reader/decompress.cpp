#include "decompress.h"

#include <lz4.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>

#include "fastlz.h"
#include "size_limits.h"

namespace fst {

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
    // A compatibility text, kept word for word with its "TODO": callers match on it (see
    // "Compatibility texts" in docs/architecture.md). Flags are not read; the file is refused.
    if (h[3] != 0)
        return ReaderError{ErrorKind::GZipHeader,
                           0,
                           "TODO currently extra flags are not supported " + std::to_string(h[3]),
                           {}};
    return ok_status();
}

Status zlib_decode(std::span<const uint8_t> src, uint64_t ulen, std::vector<uint8_t>& out,
                   bool raw_deflate) {
    if (!limits::size_possible(ulen, src.size(), limits::kDeflateRatio))
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
    if (src.size() > INT_MAX || ulen > INT_MAX ||
        !limits::size_possible(ulen, src.size(), limits::kLz4Ratio))
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

}  // namespace fst
