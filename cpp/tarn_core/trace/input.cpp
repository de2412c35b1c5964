#include "trace/input.h"

#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "util/interrupt.h"

namespace tarn {

std::string os_error(int err) {
    return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

ssize_t FdSource::read(uint8_t* buf, size_t n) {
    if (positional_) n = static_cast<size_t>(std::min<uint64_t>(n, end_ - next_));
    if (n == 0) return 0;
    for (;;) {
        ssize_t got =
            positional_ ? ::pread(fd_, buf, n, static_cast<off_t>(next_)) : ::read(fd_, buf, n);
        if (got >= 0) {
            next_ += static_cast<uint64_t>(got);
            return got;
        }
        // A signal: stop if it asks the load to, else read on.
        if (errno == EINTR && !interrupted()) continue;
        if (errno == EINTR) return 0;
        error_ = os_error(errno);
        return -1;
    }
}

FileSource::~FileSource() {
    ::close(fd_);
}

ssize_t MemorySource::read(uint8_t* buf, size_t n) {
    n = std::min(n, bytes_.size());
    if (n) std::memcpy(buf, bytes_.data(), n);
    bytes_ = bytes_.subspan(n);
    return static_cast<ssize_t>(n);
}

Compression compression_of(std::span<const uint8_t> head) {
    if (head.size() >= 2 && head[0] == 0x1f && head[1] == 0x8b) return Compression::Gzip;
    if (head.size() >= 4 && head[0] == 0x28 && head[1] == 0xb5 && head[2] == 0x2f &&
        head[3] == 0xfd)
        return Compression::Zstd;
    return Compression::None;
}

const char* compression_name(Compression c) {
    switch (c) {
        case Compression::Gzip:
            return "gzip";
        case Compression::Zstd:
            return "zstd";
        case Compression::None:
            break;
    }
    return "";
}

namespace {

// Compressed input is read in blocks of this size.
constexpr size_t kRawBlock = size_t(256) << 10;

// What the decompressors share: the raw input in blocks.
class Decompressor : public ByteSource {
  protected:
    explicit Decompressor(std::unique_ptr<ByteSource> raw) : raw_(std::move(raw)), in_(kRawBlock) {}
    // Fetches the next raw block when the last one is used up; false at the end of the input
    // (or on a read error, which error_ then holds).
    bool refill() {
        if (pos_ < have_) return true;
        if (raw_eof_) return false;
        ssize_t got = raw_->read(in_.data(), in_.size());
        if (got < 0) {
            error_ = raw_->error();
            return false;
        }
        pos_ = 0;
        have_ = static_cast<size_t>(got);
        raw_eof_ = got == 0;
        return got > 0;
    }
    ssize_t fail(std::string what) {
        error_ = std::move(what);
        return -1;
    }

    std::unique_ptr<ByteSource> raw_;
    std::vector<uint8_t> in_;
    size_t pos_ = 0, have_ = 0;
    bool raw_eof_ = false;
};

class GzipSource : public Decompressor {
  public:
    explicit GzipSource(std::unique_ptr<ByteSource> raw) : Decompressor(std::move(raw)) {
        ok_ = inflateInit2(&zs_, 16 + MAX_WBITS) == Z_OK;  // gzip wrapping only
    }
    ~GzipSource() override {
        if (ok_) inflateEnd(&zs_);
    }

    ssize_t read(uint8_t* out, size_t n) override {
        if (!ok_) return fail("cannot start gzip decompression (out of memory)");
        if (!error_.empty()) return -1;
        n = std::min<size_t>(n, std::numeric_limits<uInt>::max());
        size_t made = 0;
        while (made == 0 && n > 0) {
            // A full output may have left output to give without more input.
            if (!(in_member_ && full_) && !refill()) {
                if (!error_.empty()) return -1;
                if (in_member_) return fail("the gzip stream ends early (the file is truncated)");
                return 0;
            }
            if (!in_member_) {
                // After a member: another member, or zero padding up to the end.
                if (in_[pos_] == 0) {
                    ++pos_;
                    continue;
                }
                if (in_[pos_] != 0x1f) return fail("unexpected bytes after the gzip stream");
                inflateReset(&zs_);
                in_member_ = true;
            }
            zs_.next_in = in_.data() + pos_;
            zs_.avail_in = static_cast<uInt>(have_ - pos_);
            zs_.next_out = out;
            zs_.avail_out = static_cast<uInt>(n);
            int rc = inflate(&zs_, Z_NO_FLUSH);
            pos_ = have_ - zs_.avail_in;
            made = n - zs_.avail_out;
            full_ = zs_.avail_out == 0;
            if (rc == Z_STREAM_END) {
                in_member_ = full_ = false;
            } else if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR) {
                return fail(std::string("the gzip data is corrupt (") +
                            (zs_.msg ? zs_.msg : "invalid data") + ")");
            } else if (rc == Z_MEM_ERROR) {
                return fail("out of memory while decompressing gzip data");
            }
        }
        return static_cast<ssize_t>(made);
    }

  private:
    z_stream zs_{};
    bool ok_ = false;
    bool in_member_ = true;
    bool full_ = false;  // the last call filled the output
};

class ZstdSource : public Decompressor {
  public:
    explicit ZstdSource(std::unique_ptr<ByteSource> raw)
        : Decompressor(std::move(raw)), ctx_(ZSTD_createDStream()) {}
    ~ZstdSource() override { ZSTD_freeDStream(ctx_); }

    ssize_t read(uint8_t* out, size_t n) override {
        if (!ctx_) return fail("cannot start zstd decompression (out of memory)");
        if (!error_.empty()) return -1;
        ZSTD_outBuffer ob{out, n, 0};
        while (ob.pos == 0 && n > 0) {
            // A full output may have left output to give without more input.
            if (!(full_ && in_frame_) && !refill()) {
                if (!error_.empty()) return -1;
                if (in_frame_) return fail("the zstd stream ends early (the file is truncated)");
                return 0;
            }
            ZSTD_inBuffer ib{in_.data(), have_, pos_};
            size_t rc = ZSTD_decompressStream(ctx_, &ob, &ib);
            pos_ = ib.pos;
            if (ZSTD_isError(rc))
                return fail(std::string("the zstd data is corrupt (") + ZSTD_getErrorName(rc) +
                            ")");
            full_ = ob.pos == ob.size;
            in_frame_ = rc != 0;  // 0: a frame ended here
        }
        return static_cast<ssize_t>(ob.pos);
    }

  private:
    ZSTD_DStream* ctx_;
    bool in_frame_ = true;
    bool full_ = false;  // the last call filled the output
};

}  // namespace

std::unique_ptr<ByteSource> decompressing(Compression c, std::unique_ptr<ByteSource> raw) {
    if (c == Compression::Gzip) return std::make_unique<GzipSource>(std::move(raw));
    if (c == Compression::Zstd) return std::make_unique<ZstdSource>(std::move(raw));
    return raw;
}

Result<std::vector<uint8_t>> read_all(ByteSource& source, uint64_t limit) {
    // Collected in blocks, then copied into one buffer block by block, each block freed once
    // copied: growing one buffer would hold the old and the new copy at once.
    constexpr size_t kChunk = size_t(1) << 20;
    std::vector<std::vector<uint8_t>> chunks;
    uint64_t total = 0;
    for (;;) {
        if (interrupted()) break;
        if (chunks.empty() || chunks.back().size() == kChunk) {
            if (total > limit)
                return Result<std::vector<uint8_t>>::fail(
                    "the data decompresses to more than " + std::to_string(limit) +
                    " bytes, more than a compressed file of this size may hold");
            chunks.emplace_back();
            chunks.back().reserve(kChunk);
        }
        std::vector<uint8_t>& c = chunks.back();
        size_t have = c.size();
        c.resize(kChunk);
        ssize_t got = source.read(c.data() + have, kChunk - have);
        c.resize(have + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got < 0) return Result<std::vector<uint8_t>>::fail(source.error());
        if (got == 0) break;
        total += static_cast<uint64_t>(got);
    }
    if (total > limit)
        return Result<std::vector<uint8_t>>::fail("the data decompresses to more than " +
                                                  std::to_string(limit) +
                                                  " bytes, more than a compressed file of this "
                                                  "size may hold");
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(total));
    for (auto& c : chunks) {
        out.insert(out.end(), c.begin(), c.end());
        std::vector<uint8_t>().swap(c);
    }
    return out;
}

}  // namespace tarn
