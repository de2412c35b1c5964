#include "trace/vcd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <memory>

#include "trace/limits.h"
#include "trace/readers.h"
#include "util/pool.h"
#include "util/text.h"

namespace tarn {

namespace vcd {

namespace {

constexpr size_t kAlphabet = 94;  // printable ASCII '!'..'~'
constexpr size_t kSmallSlots =
    kAlphabet + kAlphabet * kAlphabet + kAlphabet * kAlphabet * kAlphabet;

bool starts_with(std::string_view s, std::string_view p) {
    return s.size() >= p.size() && std::memcmp(s.data(), p.data(), p.size()) == 0;
}

}  // namespace

bool CodeTable::small_key(std::string_view code, size_t* slot) {
    size_t n = code.size();
    if (n == 0 || n > 3) return false;
    size_t k = 0;
    for (char ch : code) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 33 || c > 126) return false;
        k = k * kAlphabet + (c - 33);
    }
    if (n >= 2) k += kAlphabet;
    if (n == 3) k += kAlphabet * kAlphabet;
    *slot = k;
    return true;
}

uint64_t CodeTable::find(std::string_view code) const {
    size_t slot;
    if (small_key(code, &slot)) {
        if (slot >= small_.size()) return kNone;
        uint32_t v = small_[slot];
        if (v != 0) return v - 1;
        if (other_.empty()) return kNone;  // ids past the flat table's range live in the map
    }
    auto it = other_.find(code);
    return it == other_.end() ? kNone : it->second;
}

void CodeTable::insert(std::string_view code, uint64_t id) {
    size_t slot;
    if (small_key(code, &slot) && id < UINT32_MAX) {
        // Grow in steps: one- and two-character codes need a small table only.
        size_t need = slot < kAlphabet + kAlphabet * kAlphabet ? kAlphabet + kAlphabet * kAlphabet
                                                               : kSmallSlots;
        if (small_.size() < need) small_.resize(need, 0);
        small_[slot] = static_cast<uint32_t>(id + 1);
        return;
    }
    other_.emplace(std::string(code), id);
}

Parser::Parser() {
    d_.kind = TraceKind::Vcd;
}

void Parser::charge_names(size_t bytes) {
    name_bytes_ += bytes;
    if (name_bytes_ > limits::kNameBytes.for_bytes(seen_)) over_budget_ = true;
}

std::string Parser::budget_error() const {
    return "the declarations expand to more than " +
           std::to_string(limits::kNameBytes.for_bytes(seen_)) + " bytes of names";
}

void Parser::declaration_scope(std::string_view line) {
    std::string_view parts[3];
    if (text::split_ws(line, parts, 3) < 3) return;
    scope_lens_.push_back(scope_path_.size());
    if (!scope_path_.empty()) scope_path_ += '.';
    scope_path_.append(parts[2]);
    charge_names(scope_path_.size());
    if (over_budget_) return;
    if (scope_set_.find(std::string_view(scope_path_)) == scope_set_.end()) {
        scope_set_.insert(scope_path_);
        d_.scopes.push_back(scope_path_);
    }
}

void Parser::declaration_var(std::string_view line) {
    std::string_view parts[5];
    if (text::split_ws(line, parts, 5) < 5) return;
    uint32_t width = text::parse_u32(parts[2]).value_or(1);
    std::string_view code = parts[3];
    std::string_view reference = parts[4];
    if (size_t b = reference.find('['); b != std::string_view::npos)
        reference = reference.substr(0, b);
    charge_names(scope_path_.size() + reference.size());
    if (over_budget_) return;
    std::string full;
    if (scope_lens_.empty()) {
        full.assign(reference);
    } else {
        full.reserve(scope_path_.size() + 1 + reference.size());
        full.append(scope_path_).append(".").append(reference);
    }
    uint64_t id = codes_.find(code);
    if (id == CodeTable::kNone) {
        id = next_id_++;
        codes_.insert(code, id);
    }
    auto it = d_.name_to_id.find(std::string_view(full));
    if (it == d_.name_to_id.end()) {
        d_.signal_names.push_back(full);
        d_.widths[full] = width;
        d_.name_to_id.emplace(std::move(full), id);
    } else {
        it->second = id;
        d_.widths[it->first] = width;
    }
}

void Parser::time_stamp(std::string_view rest) {
    uint64_t t = text::parse_u64(text::trim(rest)).value_or(0);
    if (stamp_count() > kMaxIndex) return;  // beyond what the store can index
    if (log_) {
        log_->put_stamp(t);
    } else {
        current_index_ = d_.timestamps.size();
        d_.timestamps.push_back(t);
    }
    dumping_ = true;
    // Forward fill is implicit: the store's sequential appends carry every value until its
    // next change, and finish() closes all signals at the last index.
}

void Parser::value_change(std::string_view s, bool ascii) {
    char c = s[0];
    switch (c) {
        case '0':
        case '1': {
            uint64_t id = lookup_->find(s.substr(1));
            if (id != CodeTable::kNone) put_int(id, uint64_t(c - '0'));
            return;
        }
        case 'x':
        case 'X': {
            uint64_t id = lookup_->find(s.substr(1));
            if (id != CodeTable::kNone) put(id, SignalValue::missing());
            return;
        }
        case 'z':
        case 'Z': {
            uint64_t id = lookup_->find(s.substr(1));
            if (id != CodeTable::kNone) put(id, SignalValue::make_logic({kBitZ}));
            return;
        }
        case 'b':
        case 'B':
        case 'r':
        case 'R':
            break;
        default:
            return;
    }
    size_t sp = s.find(' ');
    if (sp == std::string_view::npos) return;
    std::string_view value = s.substr(0, sp);
    std::string_view code =
        ascii ? text::trim_ascii(s.substr(sp + 1)) : text::trim(s.substr(sp + 1));
    uint64_t id = lookup_->find(code);
    if (id == CodeTable::kNone) return;
    if (c == 'b' || c == 'B') {
        // Fast path for two-state vectors; anything else takes the general rule.
        uint64_t v = 0;
        bool plain = ascii && value.size() > 1;
        for (size_t i = 1; plain && i < value.size(); ++i) {
            char b = value[i];
            if (b == 'x' || b == 'X' || b == 'z' || b == 'Z') plain = false;
            v = (v << 1) | (b == '1' ? 1u : 0u);
        }
        if (plain)
            put_int(id, v);
        else
            put(id, parse_binary_str(value));
        return;
    }
    double x = text::parse_f64(value.substr(1)).value_or(0.0);
    put(id, SignalValue::make_real(x));
}

// The common value-change lines of an ASCII dump (a scalar 0/1 or a two-state vector followed by
// a short code, nothing to trim) without the general rule's steps. Returns false, having changed
// nothing, for any other line.
inline bool Parser::fast_change(std::string_view raw) {
    size_t n = raw.size();
    if (n < 2 || static_cast<unsigned char>(raw[n - 1]) <= ' ') return false;
    const char* p = raw.data();
    char c = p[0];
    uint64_t v, id;
    if (c == '0' || c == '1') {
        id = lookup_->find_small(p + 1, n - 1);
        v = uint64_t(c - '0');
    } else if (c == 'b' || c == 'B') {
        size_t i = 1;
        v = 0;
        // Eight digits at a time: each byte must be '0' or '1'; the multiply gathers the low
        // bits, first digit highest.
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & 0xFEFEFEFEFEFEFEFEULL) != 0x3030303030303030ULL) break;
            v = (v << 8) | (((w & 0x0101010101010101ULL) * 0x8040201008040201ULL) >> 56);
        }
        for (; i < n && (p[i] == '0' || p[i] == '1'); ++i) v = (v << 1) | uint64_t(p[i] - '0');
        if (i == 1 || i + 1 >= n || p[i] != ' ') return false;
        id = lookup_->find_small(p + i + 1, n - i - 1);
    } else {
        return false;
    }
    if (id == CodeTable::kNone) return false;
    put_int(id, v);
    return true;
}

void Parser::line(std::string_view raw, bool ascii) {
    if (!ascii && !text::is_utf8(raw)) return;  // unreadable lines count as empty
    std::string_view s = ascii ? text::trim_ascii(raw) : text::trim(raw);
    if (s.empty()) return;
    if (s[0] == '$') {
        if (log_ &&
            (starts_with(s, "$scope") || starts_with(s, "$upscope") || starts_with(s, "$var"))) {
            halted_ = true;  // declarations change the code table the pieces share
            return;
        }
        if (starts_with(s, "$scope")) return declaration_scope(s);
        if (starts_with(s, "$upscope")) {
            if (!scope_lens_.empty()) {
                scope_path_.resize(scope_lens_.back());
                scope_lens_.pop_back();
            }
            return;
        }
        if (starts_with(s, "$var")) return declaration_var(s);
        // Every other keyword line is skipped, whether or not a dump is running: value
        // changes never begin with '$'.
        return;
    }
    if (s[0] == '#') {
        if (header_mode_ && !dumping_) {
            halted_ = true;
            return;
        }
        return time_stamp(s.substr(1));
    }
    if (dumping_) value_change(s, ascii);
}

size_t Parser::feed(const char* data, size_t size, bool last) {
    bool ascii = !text::has_non_ascii(data, size);
    size_t pos = 0;
    while (pos < size && !over_budget_ && !halted_) {
        const void* nl = std::memchr(data + pos, '\n', size - pos);
        if (!nl && !last) break;
        size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) : size;
        std::string_view raw(data + pos, end - pos);
        bool line_ascii = ascii || !text::has_non_ascii(raw.data(), raw.size());
        if (poll_()) return pos;
        if (!(line_ascii && dumping_ && fast_change(raw))) {
            line(raw, line_ascii);
            if (halted_) return pos;  // the line that stopped us stays unconsumed
        }
        pos = nl ? end + 1 : size;
        seen_ += raw.size() + 1;
    }
    return pos;
}

Parser::Parser(PieceOf piece)
    : lookup_(piece.primary.lookup_),
      log_(std::make_unique<ChangeLog>(piece.primary.next_id_, worker_count())) {}

void Parser::end_header() {
    header_mode_ = halted_ = false;
}

void Parser::replay(std::vector<std::unique_ptr<Parser>>& pieces) {
    // Sized once: growing by doubling would hold the old and the new copy at once.
    uint64_t total = d_.timestamps.size();
    for (auto& p : pieces) total += p->stamp_count();
    d_.timestamps.reserve(static_cast<size_t>(total));
    std::vector<uint64_t> offsets;
    for (auto& p : pieces) {
        offsets.push_back(d_.timestamps.size());
        p->log_->move_times(d_.timestamps);
    }
    // Each thread replays one stream of every log, in order: its signals' columns only.
    d_.store.reserve_ids(next_id_);
    size_t streams = pieces.empty() ? 0 : pieces[0]->log_->streams();
    parallel_for(streams, [&](size_t k) {
        for (size_t i = 0; i < pieces.size(); ++i) pieces[i]->log_->replay(k, d_.store, offsets[i]);
    });
}

Trace Parser::finish() {
    d_.store.reserve_ids(next_id_);
    d_.store.finish(d_.timestamps.size());
    return Trace(std::move(d_));
}

}  // namespace vcd

namespace {

std::string os_error(int err) {
    return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

}  // namespace

namespace {

// Small enough that a block is still in cache when parsed; a longer line grows the buffer.
constexpr size_t kBlock = size_t(256) << 10;
constexpr uint64_t kToEnd = UINT64_MAX;

// Feeds bytes [from, to) of fd (to its end with kToEnd) through `p`: with pread when
// `positional` (regular files, possibly several ranges at once), else with read from the current
// position. *stopped_at receives the offset of the first byte `p` did not consume. Returns 0 or
// errno.
int feed_fd(int fd, vcd::Parser& p, uint64_t from, uint64_t to, bool positional,
            uint64_t* stopped_at) {
    std::vector<char> buf(kBlock);
    size_t have = 0;       // bytes in buf not yet consumed
    uint64_t base = from;  // file offset of buf[0]
    uint64_t next = from;  // file offset of the next read
    for (;;) {
        if (have == buf.size()) buf.resize(buf.size() * 2);  // one line longer than the buffer
        size_t want = buf.size() - have;
        if (to != kToEnd) want = static_cast<size_t>(std::min<uint64_t>(want, to - next));
        ssize_t got = 0;
        if (want) {
            got = positional ? ::pread(fd, buf.data() + have, want, static_cast<off_t>(next))
                             : ::read(fd, buf.data() + have, want);
        }
        if (got < 0) {
            // A signal: stop if it asks the load to, else read on.
            if (errno == EINTR && !interrupted()) continue;
            return errno == EINTR ? 0 : errno;
        }
        if (got == 0) {
            *stopped_at = base + p.feed(buf.data(), have, true);
            return 0;
        }
        have += static_cast<size_t>(got);
        next += static_cast<uint64_t>(got);
        size_t used = p.feed(buf.data(), have, false);
        base += used;
        if (p.halted() || p.over_budget() || interrupted()) {
            *stopped_at = base;
            return 0;
        }
        std::memmove(buf.data(), buf.data() + used, have - used);
        have -= used;
    }
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
// that of one pass. Returns 0 or errno.
int load_in_pieces(int fd, uint64_t size, size_t pieces, vcd::Parser& p) {
    p.set_header_mode(true);
    uint64_t header_end = 0;
    if (int err = feed_fd(fd, p, 0, kToEnd, true, &header_end)) return err;
    if (!p.at_first_stamp()) return 0;  // no time stamps, over budget or interrupted
    p.end_header();

    std::vector<uint64_t> starts{header_end};
    for (size_t k = 1; k < pieces && header_end < size; ++k) {
        uint64_t target = header_end + (size - header_end) / pieces * k;
        uint64_t s = find_stamp_line(fd, std::max(target, starts.back() + 1), size);
        if (s > starts.back()) starts.push_back(s);
    }
    uint64_t stopped;
    // No cut point: one pass, without a log to replay.
    if (starts.size() == 1) return feed_fd(fd, p, header_end, kToEnd, true, &stopped);
    std::vector<std::unique_ptr<vcd::Parser>> logged;
    for (size_t k = 0; k < starts.size(); ++k)
        logged.push_back(std::make_unique<vcd::Parser>(vcd::Parser::PieceOf{p}));
    std::vector<int> errs(starts.size(), 0);
    parallel_for(starts.size(), [&](size_t k) {
        uint64_t to = k + 1 < starts.size() ? starts[k + 1] : kToEnd, end;
        errs[k] = feed_fd(fd, *logged[k], starts[k], to, true, &end);
    });
    if (interrupted()) return 0;
    for (int e : errs)
        if (e) return e;

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
        return feed_fd(fd, p, header_end, kToEnd, true, &stopped);
    }
    p.replay(logged);
    return 0;
}

}  // namespace

Result<Trace> parse_vcd(std::string_view data) {
    vcd::Parser p;
    p.feed(data.data(), data.size(), true);
    if (p.over_budget()) return Result<Trace>::fail("VCD data: " + p.budget_error());
    return p.finish();
}

Result<Trace> read_vcd_file(const std::string& path) {
    return read_vcd_file(path, VcdReadOptions{});
}

Result<Trace> read_vcd_file(const std::string& path, const VcdReadOptions& options) {
    int fd;
    // Opening a pipe waits for its writer; a signal ends the wait only if it asks the load to.
    while ((fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR)
        if (interrupted()) return Result<Trace>::fail("interrupted");
    if (fd < 0) return Result<Trace>::fail("Failed to open " + path + ": " + os_error(errno));
    vcd::Parser p;
    size_t pieces = options.pieces ? options.pieces : worker_count();
    struct stat st;
    // Pieces need a regular file to read at any offset.
    bool split = pieces > 1 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                 uint64_t(st.st_size) >= options.min_split_bytes;
    uint64_t stopped;
    int err = split ? load_in_pieces(fd, uint64_t(st.st_size), pieces, p)
                    : feed_fd(fd, p, 0, kToEnd, false, &stopped);
    ::close(fd);
    if (interrupted()) return Result<Trace>::fail("interrupted");
    if (p.over_budget())
        return Result<Trace>::fail("Failed to read " + path + ": " + p.budget_error());
    if (err) return Result<Trace>::fail("Failed to read " + path + ": " + os_error(err));
    return p.finish();
}

}  // namespace tarn
