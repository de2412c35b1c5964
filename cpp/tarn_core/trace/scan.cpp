#include "trace/scan.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "trace/limits.h"
#include "util/hash.h"

namespace tarn::scan {

namespace {

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_start(char c) {
    return is_letter(c) || c == '_';
}

bool strict_char(char c) {
    return is_letter(c) || is_digit(c) || c == '$' || c == '.' || c == ':' || c == '[' ||
           c == ']' || c == '_';
}

// Every piece between dots is non-empty and starts with a letter or "_".
bool pieces_ok(std::string_view s) {
    size_t start = 0;
    while (true) {
        size_t dot = s.find('.', start);
        size_t end = dot == std::string_view::npos ? s.size() : dot;
        if (end == start || !is_start(s[start])) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

bool strict_ok(std::string_view s) {
    if (s.empty() || !is_start(s[0])) return false;
    for (char c : s)
        if (!strict_char(c)) return false;
    if (!pieces_ok(s)) return false;
    for (std::string_view bad : {".log", ".tcl", ".fsdb", "simv", "csrc", "daidir"})
        if (s.find(bad) != std::string_view::npos) return false;
    return true;
}

bool short_ok(std::string_view s) {
    if (s.size() < 2 || !is_start(s[0])) return false;
    if (s.find_first_of("/{(@") != std::string_view::npos) return false;
    return pieces_ok(s);
}

}  // namespace

bool accepts(std::string_view candidate, Rule rule) {
    return rule == Rule::Strict ? strict_ok(candidate) : short_ok(candidate);
}

std::vector<std::string> extract_identifiers(Bytes bytes, Rule rule) {
    std::vector<std::string> out;
    size_t n = bytes.size();
    size_t p = 0;
    while (p < n) {
        uint8_t b = bytes[p];
        if (b < 0x21 || b > 0x7E) {
            ++p;
            continue;
        }
        size_t q = p + 1;
        while (q < n && bytes[q] >= 0x20 && bytes[q] <= 0x7E) ++q;
        if (q == n) break;  // no terminator: the scan ends
        if (bytes[q] == 0x00) {
            std::string_view s(reinterpret_cast<const char*>(bytes.data() + p), q - p);
            if (accepts(s, rule)) out.emplace_back(s);
        }
        p = q + 1;
    }
    return out;
}

std::vector<std::string> derive_scopes(const std::vector<std::string>& names) {
    // A trie of dot pieces: each distinct scope is one node, keyed by (parent node, piece), so
    // the work is linear in the names plus the scopes produced, however deep a name nests.
    struct Node {
        uint32_t parent;
        std::string_view piece;
    };
    std::vector<Node> nodes;
    std::vector<size_t> lengths;  // full text length of each node's scope
    NameMap<uint32_t> index;
    std::string key;
    size_t total = 0;
    constexpr uint32_t kRoot = std::numeric_limits<uint32_t>::max();

    for (const std::string& name : names) {
        std::string_view s(name);
        uint32_t parent = kRoot;
        size_t start = 0;
        while (true) {
            size_t dot = s.find('.', start);
            if (dot == std::string_view::npos) break;  // the last piece is the signal itself
            std::string_view piece = s.substr(start, dot - start);
            key.assign(reinterpret_cast<const char*>(&parent), sizeof parent);
            key.append(piece);
            auto it = index.find(std::string_view(key));
            if (it != index.end()) {
                parent = it->second;
            } else {
                size_t len = parent == kRoot ? piece.size() : lengths[parent] + 1 + piece.size();
                if (len > limits::kScopeBytes - total || nodes.size() >= kRoot - 1) break;
                total += len;
                uint32_t id = static_cast<uint32_t>(nodes.size());
                nodes.push_back({parent, piece});
                lengths.push_back(len);
                index.emplace(key, id);
                parent = id;
            }
            start = dot + 1;
        }
    }

    std::vector<std::string> scopes(nodes.size());
    for (size_t i = 0; i < nodes.size(); ++i) {
        std::string& s = scopes[i];
        s.resize(lengths[i]);
        // Fill from the end: each node writes its piece, then its parent's before it.
        size_t end = lengths[i];
        for (uint32_t k = static_cast<uint32_t>(i); k != kRoot; k = nodes[k].parent) {
            std::string_view piece = nodes[k].piece;
            end -= piece.size();
            std::memcpy(s.data() + end, piece.data(), piece.size());
            if (nodes[k].parent != kRoot) s[--end] = '.';
        }
    }
    std::sort(scopes.begin(), scopes.end());
    return scopes;
}

std::optional<Inflated> try_zlib_decompress(Bytes input, size_t* work) {
    if (input.size() < 2) return std::nullopt;
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return std::nullopt;
    // zlib counts input in 32-bit units; an input past 4 GiB is offered up to that much, which
    // is far beyond what 4 MiB of output can consume.
    zs.next_in = const_cast<Bytef*>(input.data());
    zs.avail_in =
        static_cast<uInt>(std::min<size_t>(input.size(), std::numeric_limits<uInt>::max()));
    // Uninitialised space: pages the stream never reaches cost nothing, which matters because
    // scans call this at every position that looks like a zlib header.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[limits::kInflateFirst]);
    zs.next_out = buf.get();
    zs.avail_out = static_cast<uInt>(limits::kInflateFirst);
    int rc = inflate(&zs, Z_FINISH);
    if (rc == Z_BUF_ERROR) {
        // Too little output space (or the input ended early): go on into the larger space.
        // Continuing the same stream yields exactly what a restart with 4 MiB would.
        std::unique_ptr<uint8_t[]> big(new uint8_t[limits::kInflateRetry]);
        std::memcpy(big.get(), buf.get(), zs.total_out);
        buf = std::move(big);
        zs.next_out = buf.get() + zs.total_out;
        zs.avail_out = static_cast<uInt>(limits::kInflateRetry - zs.total_out);
        rc = inflate(&zs, Z_FINISH);
        if (rc == Z_BUF_ERROR) rc = Z_OK;  // cut at 4 MiB, or the input ended: keep what came
    }
    size_t produced = zs.total_out;
    size_t consumed = zs.total_in;
    inflateEnd(&zs);
    if (work) *work += produced;
    if ((rc != Z_OK && rc != Z_STREAM_END) || produced == 0) return std::nullopt;
    return Inflated{std::vector<uint8_t>(buf.get(), buf.get() + produced), consumed};
}

std::optional<std::vector<uint8_t>> inflate_capped(Bytes input, size_t limit) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return std::nullopt;
    std::vector<uint8_t> out;
    size_t in_pos = 0;
    int rc = Z_OK;
    // Grow the output gradually so a small table costs little; feed input in 32-bit chunks.
    size_t cap = std::min<size_t>(limit, 64 * 1024);
    while (true) {
        if (zs.avail_in == 0 && in_pos < input.size()) {
            size_t chunk =
                std::min<size_t>(input.size() - in_pos, std::numeric_limits<uInt>::max());
            zs.next_in = const_cast<Bytef*>(input.data() + in_pos);
            zs.avail_in = static_cast<uInt>(chunk);
            in_pos += chunk;
        }
        out.resize(cap);
        zs.next_out = out.data() + zs.total_out;
        zs.avail_out = static_cast<uInt>(
            std::min<size_t>(cap - zs.total_out, std::numeric_limits<uInt>::max()));
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
        if (zs.avail_out == 0) {
            if (cap >= limit) {
                rc = Z_STREAM_END;  // the cap is reached: keep what fits
                break;
            }
            cap = std::min(limit, cap * 2);
            continue;
        }
        if (zs.avail_in == 0 && in_pos >= input.size()) {
            rc = Z_DATA_ERROR;  // the input ended before the stream did
            break;
        }
    }
    size_t produced = zs.total_out;
    inflateEnd(&zs);
    if (rc != Z_STREAM_END) return std::nullopt;
    out.resize(produced);
    return out;
}

Result<std::vector<uint8_t>> read_file(const std::string& path) {
    auto fail = [&](int err) {
        return Result<std::vector<uint8_t>>::fail("Failed to read " + path + ": " +
                                                  std::strerror(err));
    };
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return fail(errno);
    std::vector<uint8_t> data;
    uint8_t buf[1 << 16];
    while (true) {
        size_t got = std::fread(buf, 1, sizeof buf, f);
        data.insert(data.end(), buf, buf + got);
        if (got < sizeof buf) break;
    }
    int err = std::ferror(f) ? (errno ? errno : EIO) : 0;
    std::fclose(f);
    if (err) return fail(err);
    return data;
}

Result<Trace> parse_file(const std::string& path, Result<Trace> (*parse)(Bytes)) {
    Result<std::vector<uint8_t>> file = read_file(path);
    if (!file) return Result<Trace>::fail(file.error());
    return parse(file.value());
}

uint64_t TraceBuilder::register_name(std::string_view name) {
    auto it = data_.name_to_id.find(name);
    if (it != data_.name_to_id.end()) return it->second;
    uint64_t id = data_.signal_names.size();
    data_.signal_names.emplace_back(name);
    data_.name_to_id.emplace(std::string(name), id);
    data_.widths.emplace(std::string(name), 1);
    return id;
}

void TraceBuilder::register_names(const std::vector<std::string>& names) {
    for (const std::string& n : names) register_name(n);
}

std::optional<uint64_t> TraceBuilder::find(std::string_view name) const {
    auto it = data_.name_to_id.find(name);
    if (it == data_.name_to_id.end()) return std::nullopt;
    return it->second;
}

void TraceBuilder::set_width(std::string_view name, uint32_t width) {
    auto it = data_.widths.find(name);
    if (it != data_.widths.end()) it->second = width;
}

void TraceBuilder::set_width(uint64_t id, uint32_t width) {
    if (id < data_.signal_names.size()) set_width(data_.signal_names[id], width);
}

void TraceBuilder::derive_scopes() {
    data_.scopes = scan::derive_scopes(data_.signal_names);
}

Trace TraceBuilder::finish() && {
    if (data_.timestamps.empty()) data_.timestamps.push_back(0);
    return Trace(std::move(data_));
}

}  // namespace tarn::scan
