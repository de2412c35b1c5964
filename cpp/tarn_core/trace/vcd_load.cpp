// Loading a VCD file or text: blocks read into the parser, and a regular file parsed in pieces
// on every core (split at time-stamp lines, the pieces logged and replayed in order, so the
// trace is that of one pass).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <memory>

#include "trace/input.h"
#include "trace/readers.h"
#include "trace/vcd.h"
#include "util/pool.h"
#include "util/text.h"

namespace tarn {

namespace {

// Small enough that a block is still in cache when parsed; a longer line grows the buffer.
constexpr size_t kBlock = size_t(256) << 10;
constexpr uint64_t kToEnd = UINT64_MAX;

// Feeds `src` through `p` until the end, or until `p` stops (header mode, a declaration in a
// piece, over budget) or the load is interrupted. *consumed receives the number of bytes `p`
// consumed. Returns false on a read error (src.error() says which).
bool feed(ByteSource& src, vcd::Parser& p, uint64_t* consumed) {
    std::vector<char> buf(kBlock);
    size_t have = 0;    // bytes in buf not yet consumed
    uint64_t base = 0;  // input offset of buf[0]
    for (;;) {
        if (have == buf.size()) buf.resize(buf.size() * 2);  // one line longer than the buffer
        ssize_t got = src.read(reinterpret_cast<uint8_t*>(buf.data()) + have, buf.size() - have);
        if (got < 0) return false;
        if (got == 0) {
            *consumed = base + p.feed(buf.data(), have, true);
            return true;
        }
        have += static_cast<size_t>(got);
        size_t used = p.feed(buf.data(), have, false);
        base += used;
        if (p.halted() || p.over_budget() || interrupted()) {
            *consumed = base;
            return true;
        }
        std::memmove(buf.data(), buf.data() + used, have - used);
        have -= used;
    }
}

// Feeds bytes [from, to) of a regular file (to its end with kToEnd) through `p`, read with
// pread, so that several ranges can be read at once. Empty or an error text.
std::string feed_range(int fd, vcd::Parser& p, uint64_t from, uint64_t to, uint64_t* stopped_at) {
    FdSource src(fd, from, to);
    uint64_t used = 0;
    if (!feed(src, p, &used)) return src.error();
    *stopped_at = from + used;
    return {};
}

// The offset of the first line that starts in [from, limit), begins with '#' and is a time stamp
// to one pass as well (its text is valid UTF-8), or 0 when there is none.
uint64_t find_stamp_line(int fd, uint64_t from, uint64_t limit) {
    constexpr size_t kWindow = size_t(64) << 10;
    std::vector<char> w(kWindow);
    uint64_t off = from - 1;  // the window starts one byte early: a line starts after a newline
    while (off + 1 < limit) {
        ssize_t got = ::pread(fd, w.data(), kWindow, static_cast<off_t>(off));
        if (got < 0 && errno == EINTR && !interrupted()) continue;
        if (got < 2) return 0;
        size_t n = static_cast<size_t>(got), i = 0;
        for (;;) {
            const void* nl = std::memchr(w.data() + i, '\n', n - i);
            if (!nl) break;
            size_t cand = static_cast<size_t>(static_cast<const char*>(nl) - w.data()) + 1;
            if (off + cand >= limit) return 0;
            if (cand >= n) break;
            i = cand;
            if (w[cand] != '#') continue;
            const void* end = std::memchr(w.data() + cand, '\n', n - cand);
            size_t stop = end ? static_cast<size_t>(static_cast<const char*>(end) - w.data()) : n;
            if (!end && n == kWindow) {
                if (cand == 1) continue;  // a line longer than the window: look further on
                break;                    // read it again from its start
            }
            if (text::is_utf8(std::string_view(w.data() + cand, stop - cand))) return off + cand;
        }
        // Go on from the last newline seen (or the window's last byte) so no line is missed.
        size_t keep = i > 0 ? i - 1 : n - 1;
        if (keep == 0) keep = n - 1;
        off += keep;
    }
    return 0;
}

// Parses the value-change section in `pieces` stretches at once, split at time-stamp lines: the
// first into the trace, the others into change logs replayed after it in order, so the trace is
// that of one pass. Empty or an error text.
std::string load_in_pieces(int fd, uint64_t size, size_t pieces, vcd::Parser& p) {
    p.set_header_mode(true);
    uint64_t header_end = 0;
    if (auto err = feed_range(fd, p, 0, kToEnd, &header_end); !err.empty()) return err;
    if (!p.at_first_stamp()) return {};  // no time stamps, over budget or interrupted
    p.end_header();

    std::vector<uint64_t> starts{header_end};
    for (size_t k = 1; k < pieces && header_end < size; ++k) {
        uint64_t target = header_end + (size - header_end) / pieces * k;
        uint64_t s = find_stamp_line(fd, std::max(target, starts.back() + 1), size);
        if (s > starts.back()) starts.push_back(s);
    }
    uint64_t stopped;
    // No cut point: one pass, without a log to replay.
    if (starts.size() == 1) return feed_range(fd, p, header_end, kToEnd, &stopped);
    std::vector<std::unique_ptr<vcd::Parser>> logged;
    for (size_t k = 0; k < starts.size(); ++k)
        logged.push_back(std::make_unique<vcd::Parser>(vcd::Parser::PieceOf{p}));
    std::vector<std::string> errs(starts.size());
    parallel_for(starts.size(), [&](size_t k) {
        uint64_t to = k + 1 < starts.size() ? starts[k + 1] : kToEnd, end;
        errs[k] = feed_range(fd, *logged[k], starts[k], to, &end);
    });
    if (interrupted()) return {};
    for (auto& e : errs)
        if (!e.empty()) return e;

    bool sequential = false;
    uint64_t stamps = 0;
    for (auto& q : logged) {
        sequential = sequential || q->needs_sequential();
        stamps += q->stamp_count();
    }
    if (sequential || stamps > kMaxIndex + 1) {
        // A declaration among the value changes (the pieces cannot share one code table), or
        // more time stamps than the store can index (one pass knows where the limit falls).
        logged.clear();
        return feed_range(fd, p, header_end, kToEnd, &stopped);
    }
    p.replay(logged);
    return {};
}

// Runs `load`, which feeds a fresh parser the whole input and returns an error text (empty when
// none), and finishes the trace. A filtered load whose kept codes turned out too few (see
// Parser::ids_to_read_again) loads again, keeping what it lacked, when `again` (which `load` may
// set) allows it.
template <class Load>
Result<Trace> load_vcd(const NameFilter& filter, const bool& again, const std::string& what,
                       Load&& load) {
    std::vector<uint8_t> forced;
    for (int round = 0;; ++round) {
        vcd::Parser p;
        p.keep_only(filter, std::move(forced));
        std::string err = load(p);
        if (interrupted()) return p.finish();  // what was read; the caller drops it
        if (p.over_budget()) return Result<Trace>::fail(what + p.budget_error());
        if (!err.empty()) return Result<Trace>::fail(what + err);
        auto missing = p.ids_to_read_again();
        if (!missing) return p.finish();
        if (round > 0 || !again)
            return Result<Trace>::fail(
                what +
                "a declaration after the first time stamp names signals whose earlier values "
                "were not kept, and the input cannot be read again (load it from a file)");
        forced = std::move(*missing);
    }
}

// Opens `path` for reading; a negative result is -errno.
int open_input(const std::string& path) {
    int fd;
    // Opening a pipe waits for its writer; a signal ends the wait only if it asks the load to.
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
        if (interrupted()) return -EINTR;
    return fd < 0 ? -errno : fd;
}

}  // namespace

Result<Trace> parse_vcd(std::string_view data) {
    return parse_vcd(data, VcdReadOptions{});
}

Result<Trace> parse_vcd(std::string_view data, const VcdReadOptions& options) {
    const bool again = true;
    return load_vcd(options.filter, again, "VCD data: ", [&](vcd::Parser& p) {
        p.feed(data.data(), data.size(), true);
        return std::string();
    });
}

Result<Trace> read_vcd_file(const std::string& path) {
    return read_vcd_file(path, VcdReadOptions{});
}

Result<Trace> read_vcd_file(const std::string& path, const VcdReadOptions& options) {
    bool regular = true;  // a pipe cannot be read again
    int opened = -1;
    Result<Trace> r = load_vcd(options.filter, regular, "Failed to read " + path + ": ",
                               [&](vcd::Parser& p) -> std::string {
                                   int fd = open_input(path);
                                   opened = fd;
                                   if (fd < 0) return {};
                                   size_t pieces = options.pieces ? options.pieces : worker_count();
                                   struct stat st;
                                   regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
                                   // Pieces need a regular file to read at any offset.
                                   bool split = pieces > 1 && regular &&
                                                uint64_t(st.st_size) >= options.min_split_bytes;
                                   std::string err;
                                   if (split) {
                                       err = load_in_pieces(fd, uint64_t(st.st_size), pieces, p);
                                   } else {
                                       FdSource src(fd);
                                       uint64_t used;
                                       if (!feed(src, p, &used)) err = src.error();
                                   }
                                   ::close(fd);
                                   return err;
                               });
    if (opened == -EINTR || interrupted()) return Result<Trace>::fail("interrupted");
    if (opened < 0) return Result<Trace>::fail("Failed to open " + path + ": " + os_error(-opened));
    return r;
}

Result<Trace> read_vcd_stream(const std::string& path,
                              const std::function<Result<std::unique_ptr<ByteSource>>()>& open,
                              const VcdReadOptions& options) {
    const bool again = true;
    std::string open_error;
    Result<Trace> r = load_vcd(options.filter, again, "Failed to read " + path + ": ",
                               [&](vcd::Parser& p) -> std::string {
                                   auto src = open();
                                   if (!src) {
                                       open_error = src.error();
                                       return {};
                                   }
                                   uint64_t used;
                                   if (!feed(*src.value(), p, &used)) return src.value()->error();
                                   return {};
                               });
    if (interrupted()) return Result<Trace>::fail("interrupted");
    if (!open_error.empty()) return Result<Trace>::fail(open_error);
    return r;
}

}  // namespace tarn
