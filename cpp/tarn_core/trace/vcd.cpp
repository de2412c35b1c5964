// The VCD line rules: declarations, time stamps and value changes, one line at a time.
#include "trace/vcd.h"

#include <cstring>

#include <algorithm>
#include <memory>

#include "trace/limits.h"
#include "trace/vectors.h"
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

// The declared ids (0 to ids - 1) a load keeping what `filter` keeps needs, with the names the
// declarations so far make: the id each kept name stands for (a later declaration of a name
// replaces an earlier one), and every bit of a kept bus dumped bit by bit.
std::vector<uint8_t> ids_wanted(const std::vector<Declaration>& decls, uint64_t ids,
                                const NameFilter& filter) {
    std::vector<uint8_t> want(static_cast<size_t>(ids), 0);
    NamePlan plan = plan_names(decls);
    NameSet named;
    for (size_t k = decls.size(); k-- > 0;) {
        const Declaration& d = decls[k];
        std::string_view name = plan.separate[k] ? std::string_view(d.name) : d.base();
        if (named.find(name) != named.end()) continue;  // a later declaration holds the name
        named.emplace(name);
        if (filter.keeps(name)) want[static_cast<size_t>(d.id)] = 1;
    }
    for (const BitVector& v : plan.vectors) {
        if (!filter.keeps(decls[v.first_decl].base())) continue;
        for (size_t k : v.decls) want[static_cast<size_t>(decls[k].id)] = 1;
    }
    return want;
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
    std::string_view parts[6];
    size_t n = text::split_ws(line, parts, 6);
    if (n < 5) return;
    uint32_t width = text::parse_u32(parts[2]).value_or(1);
    std::string_view code = parts[3];
    std::string_view reference = parts[4];
    std::string_view select = split_select(reference, n > 5 ? parts[5] : std::string_view());
    charge_names(scope_path_.size() + reference.size() + select.size() + sizeof(Declaration));
    if (over_budget_) return;
    // Names are final only once every declaration is known (a select stays in a name only where
    // it tells signals apart): finish() names the declarations.
    Declaration d;
    d.name.reserve(scope_path_.size() + 1 + reference.size() + select.size());
    if (!scope_lens_.empty()) d.name.append(scope_path_).append(".");
    d.name.append(reference);
    d.base_len = static_cast<uint32_t>(d.name.size());
    d.name.append(select);
    d.width = width;
    uint64_t id = codes_.find(code);
    if (id == CodeTable::kNone) {
        id = next_id_++;
        codes_.insert(code, id);
        if (route_) {
            // A code declared after the kept codes were decided: kept when its name may be
            // kept, with or without its select (ids_to_read_again() catches later renames).
            bool keep = (id < forced_.size() && forced_[id]) || filter_->keeps(d.name) ||
                        filter_->keeps(d.base());
            routes_.push_back(keep ? kept_++ : kDroppedId);
        }
        if (!pending_.empty()) take_pending(code, id);
    }
    d.id = id;
    decls_.push_back(std::move(d));
}

void Parser::keep_only(const NameFilter& filter, std::vector<uint8_t> forced) {
    if (filter.keeps_all()) return;
    filter_ = &filter;
    forced_ = std::move(forced);
}

void Parser::decide_kept() {
    if (!filter_ || route_) return;
    std::vector<uint8_t> keep = ids_wanted(decls_, next_id_, *filter_);
    std::vector<uint64_t> columns;
    routes_.assign(static_cast<size_t>(next_id_), kDroppedId);
    for (size_t id = 0; id < keep.size(); ++id) {
        if (!keep[id] && !(id < forced_.size() && forced_[id])) continue;
        routes_[id] = columns.size();
        columns.push_back(id);
    }
    // Values written before the first time stamp are in the store already: keep the kept ids'.
    d_.store.select(columns);
    kept_ = columns.size();
    route_ = &routes_;
}

std::optional<std::vector<uint8_t>> Parser::ids_to_read_again() {
    if (!filter_ || !route_) return std::nullopt;
    std::vector<uint8_t> want = ids_wanted(decls_, next_id_, *filter_);
    for (size_t id = 0; id < want.size(); ++id)
        if (want[id] && routes_[id] == kDroppedId) return want;
    return std::nullopt;
}

// A value written after the end of the definitions but before the first time stamp, for a code
// not declared yet: it counts if the code is declared before that time stamp.
void Parser::keep_pending(std::string_view code, SignalValue v) {
    auto it = pending_.find(code);
    if (it != pending_.end()) {
        it->second = std::move(v);
        return;
    }
    charge_names(code.size() + sizeof(SignalValue) + 64);
    if (!over_budget_) pending_.emplace(std::string(code), std::move(v));
}

void Parser::emit(std::string_view code, uint64_t id, SignalValue v) {
    if (id != CodeTable::kNone)
        put(id, v);
    else
        keep_pending(code, std::move(v));
}

void Parser::take_pending(std::string_view code, uint64_t id) {
    auto it = pending_.find(code);
    if (it == pending_.end()) return;
    put(id, it->second);
    pending_.erase(it);
}

void Parser::time_stamp(std::string_view rest) {
    uint64_t t = text::parse_u64(text::trim(rest)).value_or(0);
    if (stamp_count() > kMaxIndex) return;  // beyond what the store can index
    if (!dumping_ && !log_) decide_kept();  // before the first value of the section
    if (log_) {
        log_->put_stamp(t);
    } else {
        current_index_ = d_.timestamps.size();
        d_.timestamps.push_back(t);
    }
    if (!dumping_) NameMap<SignalValue>().swap(pending_);  // codes still unknown stay unknown
    dumping_ = values_ = true;
    // Forward fill is implicit: the store's sequential appends carry every value until its
    // next change, and finish() closes all signals at the last index. Values written before
    // the first time stamp went to index 0 already, as if they followed it.
}

void Parser::value_change(std::string_view s, bool ascii) {
    char c = s[0];
    std::string_view code;
    uint64_t scalar = 0;
    switch (c) {
        case '0':
        case '1':
            scalar = uint64_t(c - '0');
            [[fallthrough]];
        case 'x':
        case 'X':
        case 'z':
        case 'Z':
            code = s.substr(1);
            break;
        case 'b':
        case 'B':
        case 'r':
        case 'R':
        case 's':
        case 'S': {
            size_t sp = s.find(' ');
            if (sp == std::string_view::npos) return;
            code = ascii ? text::trim_ascii(s.substr(sp + 1)) : text::trim(s.substr(sp + 1));
            s = s.substr(0, sp);
            break;
        }
        default:
            return;
    }
    uint64_t id = lookup_->find(code);
    if (id == CodeTable::kNone && dumping_) return;
    switch (c) {
        case '0':
        case '1':
            if (id != CodeTable::kNone) return put_int(id, scalar);
            return keep_pending(code, SignalValue::make_int(scalar));
        case 'x':
        case 'X':
            return emit(code, id, SignalValue::missing());
        case 'z':
        case 'Z':
            return emit(code, id, SignalValue::make_logic({kBitZ}));
        case 'b':
        case 'B': {
            // Fast path for two-state vectors of up to 64 bits; anything else takes the general
            // rule, which keeps wider values whole.
            uint64_t v = 0;
            bool plain = ascii && s.size() > 1 && s.size() <= 65;
            for (size_t i = 1; plain && i < s.size(); ++i) {
                char b = s[i];
                if (b == 'x' || b == 'X' || b == 'z' || b == 'Z') plain = false;
                v = (v << 1) | (b == '1' ? 1u : 0u);
            }
            if (plain && id != CodeTable::kNone) return put_int(id, v);
            return emit(code, id, plain ? SignalValue::make_int(v) : parse_vector_str(s));
        }
        case 'r':
        case 'R':
            return emit(code, id,
                        SignalValue::make_real(text::parse_f64(s.substr(1)).value_or(0.0)));
        default:  // a string change: the text after the letter, exactly as written
            return emit(code, id, SignalValue::make_str(std::string(s.substr(1))));
    }
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
        // More than 64 digits: the general rule keeps the whole value.
        if (i == 1 || i > 65 || i + 1 >= n || p[i] != ' ') return false;
        id = lookup_->find_small(p + i + 1, n - i - 1);
    } else {
        return false;
    }
    if (id == CodeTable::kNone) return false;
    put_int(id, v);
    return true;
}

// The text of a $timescale section: on its keyword's line ("$timescale 1ns $end") or on the
// lines after it. The section ends at its $end, or at the first line that is a keyword or a time
// stamp (a section without $end cannot swallow the dump), or once its text reads as a unit.
bool Parser::timescale_line(std::string_view s, bool first) {
    if (!first && (s[0] == '$' || s[0] == '#')) {
        in_timescale_ = false;
        return false;
    }
    std::string_view body = first ? s.substr(10) : s;
    size_t end = body.find("$end");
    timescale_text_.append(body.substr(0, end)).push_back(' ');
    auto ts = Timescale::parse(timescale_text_);
    if (ts) d_.timescale = ts;
    if (ts || end != std::string_view::npos || ++timescale_lines_ > 3) in_timescale_ = false;
    return true;
}

void Parser::line(std::string_view raw, bool ascii) {
    if (!ascii && !text::is_utf8(raw)) return;  // unreadable lines count as empty
    std::string_view s = ascii ? text::trim_ascii(raw) : text::trim(raw);
    if (s.empty()) return;
    if (in_timescale_ && timescale_line(s, false)) return;
    if (s[0] == '$') {
        if (starts_with(s, "$timescale")) {
            in_timescale_ = true;
            timescale_lines_ = 0;
            timescale_text_.clear();
            timescale_line(s, true);
            return;
        }
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
        // Values written from here to the first time stamp apply at index 0.
        if (starts_with(s, "$enddefinitions")) values_ = true;
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
    if (values_) value_change(s, ascii);
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
        if (!(line_ascii && values_ && fast_change(raw))) {
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
      log_(std::make_unique<ChangeLog>(piece.primary.columns(), worker_count())),
      route_(piece.primary.route_) {}

void Parser::end_header() {
    header_mode_ = halted_ = false;
    decide_kept();  // before the pieces start: they log the kept codes only
}

void Parser::replay(std::vector<std::unique_ptr<Parser>>& pieces) {
    // Sized once: growing by doubling would hold the old and the new copy at once.
    uint64_t total = d_.timestamps.size();
    for (auto& p : pieces) total += p->stamp_count();
    d_.timestamps.reserve(static_cast<size_t>(total));
    std::vector<uint64_t> offsets;
    for (auto& p : pieces) {
        seen_ += p->seen_;  // the input read, as one pass counts it
        offsets.push_back(d_.timestamps.size());
        p->log_->move_times(d_.timestamps);
    }
    // Each thread replays one stream of every log, in order: its signals' columns only.
    d_.store.reserve_ids(columns());
    size_t streams = pieces.empty() ? 0 : pieces[0]->log_->streams();
    parallel_for(streams, [&](size_t k) {
        for (size_t i = 0; i < pieces.size(); ++i) pieces[i]->log_->replay(k, d_.store, offsets[i]);
    });
}

void Parser::name_signals() {
    NamePlan plan = plan_names(decls_);
    if (route_) {
        // From here on a declaration's id is its column (kDroppedId when dropped), and only the
        // kept buses are assembled: their bits are all kept (see ids_wanted).
        for (Declaration& d : decls_) d.id = routes_[static_cast<size_t>(d.id)];
        std::erase_if(plan.vectors, [&](const BitVector& v) {
            return !filter_->keeps(decls_[v.first_decl].base());
        });
    }
    std::vector<Assembly> vectors = choose_vectors(d_.store, decls_, plan, true, columns(),
                                                   limits::kAssembledBytes.for_bytes(seen_));
    std::vector<size_t> vector_at(decls_.size(), SIZE_MAX);  // first bit -> its vector
    for (size_t j = 0; j < vectors.size(); ++j)
        vector_at[plan.vectors[vectors[j].vector].first_decl] = j;
    for (size_t k = 0; k < decls_.size(); ++k) {
        Declaration& d = decls_[k];
        if (vector_at[k] != SIZE_MAX) {
            const BitVector& v = plan.vectors[vectors[vector_at[k]].vector];
            std::string base(d.base());
            d_.signal_names.push_back(base);
            d_.widths[base] = static_cast<uint32_t>(v.high - v.low + 1);
            d_.name_to_id.emplace(std::move(base), vectors[vector_at[k]].id);
        }
        // A select stays in the name only where it tells signals apart; elsewhere a later
        // declaration of a name replaces the earlier one.
        if (!plan.separate[k]) d.name.resize(d.base_len);
        auto it = d_.name_to_id.find(std::string_view(d.name));
        if (it == d_.name_to_id.end()) {
            d_.signal_names.push_back(d.name);
            d_.widths[d.name] = d.width;
            d_.name_to_id.emplace(std::move(d.name), d.id);
        } else {
            it->second = d.id;
            d_.widths[it->first] = d.width;
        }
    }
    std::vector<Declaration>().swap(decls_);
    d_.store.reserve_ids(columns() + vectors.size());
    for (const Assembly& a : vectors) assemble_vector(d_.store, a);
    // Names of dropped ids, and bits kept only to assemble their bus, go.
    if (filter_) keep_signals(d_, *filter_);
}

Trace Parser::finish() {
    // Values before the first time stamp apply at index 0, which a dump without time stamps
    // does not have.
    if (d_.timestamps.empty()) d_.store = SignalStore();
    decide_kept();  // a dump without time stamps
    d_.store.reserve_ids(columns());
    name_signals();
    d_.store.finish(d_.timestamps.size());
    return Trace(std::move(d_));
}

}  // namespace vcd

}  // namespace tarn
