#include "input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "util/text.h"

namespace fst {

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

namespace {

// An unsigned LEB128 number of at most as many bytes as the type's bits need (5 or 10). The last
// byte must end the number; its bits beyond the type are dropped.
template <class Leb>
Result<Leb> read_unsigned_leb(Cursor& in) {
    using U = decltype(Leb::value);
    constexpr uint32_t kBits = 8 * sizeof(U), kBytes = (kBits + 6) / 7;
    U v = 0;
    for (uint32_t i = 0; i < kBytes; ++i) {
        FST_ASSIGN(uint8_t b, read_u8(in));
        if (i + 1 == kBytes) {
            if (b & 0x80) return ReaderError::code(ErrorKind::Leb128, kBits);
            v |= static_cast<U>(b) << (7 * i);
            return Leb{v, kBytes};
        }
        v |= static_cast<U>(b & 0x7F) << (7 * i);
        if (!(b & 0x80)) return Leb{v, i + 1};
    }
    return ReaderError::code(ErrorKind::Leb128, kBits);
}

}  // namespace

Result<Leb32> read_variant_u32(Cursor& in) {
    return read_unsigned_leb<Leb32>(in);
}

Result<Leb64> read_variant_u64(Cursor& in) {
    return read_unsigned_leb<Leb64>(in);
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

namespace {

std::string_view as_text(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

Result<std::string> read_c_str(Cursor& in, size_t max) {
    auto rest = in.data().subspan(in.pos());
    size_t scan = std::min(max, rest.size());
    const uint8_t* z = static_cast<const uint8_t*>(std::memchr(rest.data(), 0, scan));
    if (!z) {
        if (rest.size() >= max)
            return ReaderError{ErrorKind::CStringTooLong,
                               max,
                               tarn::text::utf8_lossy(as_text(rest.first(max))),
                               {}};
        return ReaderError::io();
    }
    size_t len = static_cast<size_t>(z - rest.data());
    auto text = rest.first(len);
    if (!tarn::text::is_utf8(as_text(text))) return ReaderError::plain(ErrorKind::Utf8String);
    (void)in.skip(len + 1);
    return std::string(reinterpret_cast<const char*>(text.data()), len);
}

Result<std::string> read_c_str_fixed_length(Cursor& in, size_t n) {
    FST_ASSIGN(auto field, in.take(n));
    auto z = std::find(field.begin(), field.end(), uint8_t{0});
    size_t len = z != field.end() ? static_cast<size_t>(z - field.begin()) : (n > 0 ? n - 1 : 0);
    auto text = field.first(len);
    if (!tarn::text::is_utf8(as_text(text))) return ReaderError::plain(ErrorKind::Utf8String);
    return std::string(reinterpret_cast<const char*>(text.data()), len);
}

}  // namespace fst
