#include "fastlz.h"

#include <algorithm>
#include <cstring>

#include "size_limits.h"

namespace fst {

namespace {

ReaderError corrupt() {
    return ReaderError::plain(ErrorKind::FastLzDecompress);
}

}  // namespace

void literal_run(Cursor& in, uint8_t control, uint64_t& consumed, std::vector<uint8_t>& out) {
    size_t run = size_t{control} + 1;
    size_t avail = std::min(run, in.remaining());
    auto bytes = in.data().subspan(in.pos(), avail);
    out.insert(out.end(), bytes.begin(), bytes.end());
    (void)in.skip(avail);
    consumed += run;
}

Status fastlz_decode(std::span<const uint8_t> src, uint64_t ulen, std::vector<uint8_t>& out) {
    const size_t c = src.size();
    if (!limits::size_possible(ulen, c, limits::kFastLzRatio)) return corrupt();
    out.resize(static_cast<size_t>(ulen));
    if (c == 0) return ulen == 0 ? ok_status() : corrupt();
    const unsigned level = (src[0] >> 5) + 1;
    if (level != 1 && level != 2) return corrupt();
    const uint8_t* in = src.data();
    uint8_t* op = out.data();
    const size_t cap = out.size();
    size_t ip = 0, o = 0;
    bool first = true;
    while (ip < c) {
        uint8_t ctrl = in[ip++];
        if (first) {
            ctrl &= 31;
            first = false;
        }
        if (ctrl < 32) {
            size_t run = size_t{ctrl} + 1;
            size_t avail = std::min(run, c - ip);
            if (avail > cap - o) return corrupt();
            std::memcpy(op + o, in + ip, avail);
            o += avail;
            ip += run;
            continue;
        }
        size_t len = (ctrl >> 5) + 2;
        if (level == 1) {
            if ((ctrl >> 5) == 7) {
                if (ip >= c) return ReaderError::io();
                len = size_t{in[ip++]} + 9;
            }
        } else if ((ctrl >> 5) == 7) {
            len = 9;
            uint8_t b;
            do {
                if (ip >= c) return ReaderError::io();
                b = in[ip++];
                len += b;
            } while (b == 255);
        }
        if (ip >= c) return ReaderError::io();
        uint8_t code = in[ip++];
        size_t dist;
        if (level == 2 && (ctrl & 31) == 31 && code == 255) {
            if (c - ip < 2) return ReaderError::io();
            dist = ((size_t{in[ip]} << 8) | in[ip + 1]) + 8192;
            ip += 2;
        } else {
            dist = ((size_t{ctrl} & 31) << 8) + code + 1;
        }
        if (dist > o || len > cap - o) return corrupt();
        uint8_t* d = op + o;
        const uint8_t* s = d - dist;
        if (dist >= len) {
            std::memcpy(d, s, len);
        } else {
            // Overlapping copy: each byte may repeat one just written.
            for (size_t k = 0; k < len; ++k) d[k] = s[k];
        }
        o += len;
    }
    if (o != cap) return corrupt();
    return ok_status();
}

Result<std::vector<uint8_t>> decompress(Cursor& in, uint64_t compressed_length,
                                        uint64_t uncompressed_length) {
    FST_ASSIGN(auto src, in.take(compressed_length));
    std::vector<uint8_t> out;
    FST_CHECK(fastlz_decode(src, uncompressed_length, out));
    return out;
}

}  // namespace fst
