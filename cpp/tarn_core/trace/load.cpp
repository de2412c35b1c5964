// The one entry that loads any dump by format, looking through whole-file compression, and keeps
// only the signals asked for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "trace/fsdb.h"
#include "trace/fst.h"
#include "trace/input.h"
#include "trace/limits.h"
#include "trace/readers.h"
#include "trace/vpd.h"
#include "trace/wlf.h"
#include "util/interrupt.h"

namespace tarn {

std::optional<Format> format_named(std::string_view name) {
    if (name == "vcd") return Format::Vcd;
    if (name == "fst") return Format::Fst;
    if (name == "fsdb") return Format::Fsdb;
    if (name == "shm") return Format::Shm;
    if (name == "vpd") return Format::Vpd;
    if (name == "wlf") return Format::Wlf;
    return std::nullopt;
}

namespace {

struct Peek {
    Compression compression = Compression::None;
    uint64_t size = 0;  // of the file as stored
};

// The compression of a regular file, told by its first bytes. Anything else (a pipe, whose bytes
// must not be consumed here, a directory, a file that cannot be opened) counts as uncompressed:
// its reader reports what is wrong with it.
Peek peek(const std::string& path) {
    Peek p;
    struct stat st;
    // Not even opened unless regular: opening a pipe would let its writer start.
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return p;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return p;
    uint8_t head[4];
    ssize_t got = ::pread(fd, head, sizeof head, 0);
    if (got > 0) p.compression = compression_of({head, static_cast<size_t>(got)});
    if (::fstat(fd, &st) == 0) p.size = static_cast<uint64_t>(st.st_size);
    ::close(fd);
    return p;
}

Result<std::unique_ptr<ByteSource>> open_decompressing(const std::string& path, Compression c) {
    int fd;
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    }
    if (fd < 0)
        return Result<std::unique_ptr<ByteSource>>::fail("Failed to open " + path + ": " +
                                                         os_error(errno));
    return decompressing(c, std::make_unique<FileSource>(fd));
}

Result<Trace> filtered(Result<Trace>&& r, const NameFilter& filter) {
    if (!r || filter.keeps_all()) return std::move(r);
    return keep_signals(std::move(r).value(), filter);
}

Result<Trace> parse_bytes(Format format, std::vector<uint8_t> bytes, const LoadOptions& options) {
    switch (format) {
        case Format::Fst: {
            FstLoadOptions o;
            o.filter = options.filter;
            return read_fst_bytes(std::move(bytes), o);
        }
        case Format::Fsdb:
            return filtered(fsdb::parse(bytes), options.filter);
        case Format::Vpd:
            return filtered(vpd::parse(bytes), options.filter);
        case Format::Wlf:
            return filtered(wlf::parse(bytes), options.filter);
        case Format::Vcd:
        case Format::Shm:
            break;
    }
    return Result<Trace>::fail("no reader of this format reads bytes");
}

Result<Trace> load_compressed(const std::string& path, Format format, const Peek& p,
                              const LoadOptions& options) {
    if (format == Format::Shm)
        return Result<Trace>::fail("Failed to read " + path + ": it is " +
                                   compression_name(p.compression) +
                                   "-compressed, and an SHM database is read from its own "
                                   "files; decompress them first");
    if (format == Format::Vcd) {
        VcdReadOptions o;
        o.filter = options.filter;
        return read_vcd_stream(
            path, [&] { return open_decompressing(path, p.compression); }, o);
    }
    auto src = open_decompressing(path, p.compression);
    if (!src) return Result<Trace>::fail(src.error());
    auto bytes = read_all(*src.value(), limits::kInflatedBytes.for_bytes(p.size));
    if (interrupted()) return Result<Trace>::fail("interrupted");
    if (!bytes) return Result<Trace>::fail("Failed to read " + path + ": " + bytes.error());
    return parse_bytes(format, std::move(bytes).value(), options);
}

}  // namespace

Result<Trace> load_trace(const std::string& path, Format format, const LoadOptions& options) {
    Peek p = peek(path);
    if (p.compression != Compression::None) return load_compressed(path, format, p, options);
    switch (format) {
        case Format::Vcd: {
            VcdReadOptions o;
            o.filter = options.filter;
            return read_vcd_file(path, o);
        }
        case Format::Fst: {
            FstLoadOptions o;
            o.filter = options.filter;
            return read_fst(path, o);
        }
        case Format::Fsdb:
            return filtered(read_fsdb(path), options.filter);
        case Format::Shm:
            return filtered(read_shm(path), options.filter);
        case Format::Vpd:
            return filtered(read_vpd(path), options.filter);
        case Format::Wlf:
            return filtered(read_wlf(path), options.filter);
    }
    return Result<Trace>::fail("unknown format");
}

Result<std::vector<uint8_t>> read_head(const std::string& path, size_t n) {
    Peek p = peek(path);
    auto src = open_decompressing(path, p.compression);
    if (!src) return Result<std::vector<uint8_t>>::fail(src.error());
    std::vector<uint8_t> out(n);
    size_t have = 0;
    while (have < n) {
        ssize_t got = src.value()->read(out.data() + have, n - have);
        if (got < 0)
            return Result<std::vector<uint8_t>>::fail("Failed to read " + path + ": " +
                                                      src.value()->error());
        if (got == 0) break;
        have += static_cast<size_t>(got);
    }
    out.resize(have);
    return out;
}

}  // namespace tarn
