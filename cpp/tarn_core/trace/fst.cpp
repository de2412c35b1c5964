// FST loading: names and scopes from the hierarchy, then every value change, appended signal by
// signal in index order so that the store is built with O(1) work per change.
#include "trace/fst.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "fst_reader/reader.h"
#include "trace/limits.h"
#include "trace/readers.h"
#include "trace/select.h"
#include "trace/vectors.h"
#include "util/hash.h"
#include "util/interrupt.h"
#include "util/pool.h"
#include "util/text.h"

namespace tarn {

namespace {

constexpr uint64_t kNoId = std::numeric_limits<uint64_t>::max();

// Character classes of change values: '0', '1', a four-state marker, anything else.
enum : uint8_t { kC0, kC1, kCLogic, kCOther };

struct CharClasses {
    uint8_t cls[256];
    constexpr CharClasses() : cls() {
        for (int i = 0; i < 256; ++i) cls[i] = kCOther;
        cls[uint8_t{'0'}] = kC0;
        cls[uint8_t{'1'}] = kC1;
        for (char c : {'-', 'X', 'Z', 'h', 'l', 'u', 'w', 'x', 'z'})
            cls[static_cast<uint8_t>(c)] = kCLogic;
    }
};
constexpr CharClasses kClasses;

uint8_t logic_code(uint8_t c) {
    if (c == '0') return kBit0;
    if (c == '1') return kBit1;
    if (c == 'Z' || c == 'z') return kBitZ;
    return kBitX;
}

std::string lossy_text(const uint8_t* p, size_t n) {
    std::string_view s(reinterpret_cast<const char*>(p), n);
    if (text::is_utf8(s)) return std::string(s);
    return text::utf8_lossy(s);
}

// A two-state vector of m bits packed most significant first: its last 64 bits.
uint64_t packed_to_u64(const uint8_t* p, size_t m) {
    size_t nbytes = (m + 7) / 8;
    size_t pad = nbytes * 8 - m;
    size_t from = nbytes > 9 ? nbytes - 9 : 0;
    unsigned __int128 acc = 0;
    for (size_t i = from; i < nbytes; ++i) acc = (acc << 8) | p[i];
    return static_cast<uint64_t>(acc >> pad);
}

// True when a two-state vector of m bits packed most significant first has a 1 above its last
// 64 bits (it needs a Wide).
bool wide_packed(const uint8_t* p, size_t m) {
    size_t high = m - 64;  // leading bits beyond the last 64
    for (size_t j = 0; j < high / 8; ++j)
        if (p[j]) return true;
    if (size_t rest = high % 8) return (p[high / 8] >> (8 - rest)) != 0;
    return false;
}

// Sample index of each entry of a section's time table: consecutive entries unless the table
// repeats a time, which then shares one index.
struct IndexMap {
    uint64_t base;
    const uint64_t* table;  // nullptr when the table has no repeats
    uint64_t operator()(size_t k) const { return table ? table[k] : base + k; }
};

class Loader {
  public:
    Loader(fst::FstReader& r, const FstLoadOptions& o) : r_(r), options_(o) {}

    Result<Trace> run();

  private:
    void on_entry(fst::FstHierarchyEntry&& e);
    void record_bit(std::string_view full, uint64_t id, uint32_t width);
    void keep_only(NamePlan& plan);
    void add_vectors(NamePlan& plan);
    void charge_names(size_t bytes);
    uint64_t name_budget() const { return limits::kNameBytes.for_bytes(r_.input_bytes().size()); }
    uint64_t& handle_slot(uint32_t index);
    void put(uint64_t id, uint64_t index, SignalValue v);
    void put_record(uint64_t id, uint64_t index, const fst::Record& rec, fst::SignalInfo info);
    fst::Status load_values();
    fst::Status decode_signal(const fst::SectionData& sec, uint32_t i, size_t count, size_t limit,
                              const IndexMap& index_of, std::vector<uint8_t>& scratch);
    fst::Status decode_section(const fst::SectionData& sec, size_t count, size_t limit,
                               const IndexMap& index_of);

    fst::FstReader& r_;
    FstLoadOptions options_;
    TraceData d_;
    std::string path_;                  // the open scopes joined with "."
    std::vector<size_t> path_lengths_;  // path_'s length before each open scope
    uint64_t name_bytes_ = 0;           // bytes of scope paths and full names built
    bool over_budget_ = false;
    NameSet scope_set_;
    std::vector<uint64_t> handle_ids_;  // by signal index within the geometry
    U64Map<uint64_t> other_handles_;    // handles the geometry does not cover
    uint64_t next_id_ = 0;
    std::vector<Declaration> decls_;  // one per signal name, in order
    bool filtered_ = false;           // signals the filter leaves out are not decoded at all
};

uint64_t& Loader::handle_slot(uint32_t index) {
    if (index < handle_ids_.size()) return handle_ids_[index];
    auto it = other_handles_.try_emplace(index, kNoId).first;
    return it->second;
}

void Loader::charge_names(size_t bytes) {
    name_bytes_ += bytes;
    if (name_bytes_ > name_budget()) over_budget_ = true;
}

void Loader::on_entry(fst::FstHierarchyEntry&& e) {
    if (over_budget_) return;
    if (auto* s = std::get_if<fst::OpenScope>(&e)) {
        path_lengths_.push_back(path_.size());
        if (path_lengths_.size() > 1) path_ += '.';
        path_ += s->name;
        charge_names(path_.size());
        if (!scope_set_.contains(path_)) {
            scope_set_.insert(path_);
            d_.scopes.push_back(path_);
        }
    } else if (std::holds_alternative<fst::CloseScope>(e)) {
        if (path_lengths_.empty()) return;
        path_.resize(path_lengths_.back());
        path_lengths_.pop_back();
    } else if (auto* v = std::get_if<fst::Variable>(&e)) {
        std::string full = path_lengths_.empty() ? std::move(v->name) : path_ + "." + v->name;
        charge_names(full.size());
        if (d_.name_to_id.contains(full)) return;
        uint64_t& slot = handle_slot(v->handle.index());
        if (slot == kNoId) slot = next_id_++;
        d_.name_to_id.emplace(full, slot);
        d_.widths.emplace(full, v->width);
        record_bit(full, slot, v->width);
        d_.signal_names.push_back(std::move(full));
    }
}

// A variable named `ref [N]` or `ref[N]`: a candidate bit of a vector `ref` dumped bit by bit.
// Other names are recorded too, so that a variable named `ref` keeps `ref` from being assembled.
void Loader::record_bit(std::string_view full, uint64_t id, uint32_t width) {
    std::string_view base = full;
    std::string_view select = split_select(base, {});
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    Declaration d;
    d.name.reserve(base.size() + select.size());
    d.name.append(base).append(select);
    d.base_len = static_cast<uint32_t>(base.size());
    d.width = width;
    d.id = id;
    decls_.push_back(std::move(d));
}

// A filtered load: the ids of the kept names, and the bits of the kept buses dumped bit by bit,
// become columns 0, 1, ... in order; every other handle is left undecoded. The names all stay
// until keep_signals, with kDroppedId for those of dropped ids.
void Loader::keep_only(NamePlan& plan) {
    const NameFilter& filter = options_.filter;
    std::vector<uint8_t> want(static_cast<size_t>(next_id_), 0);
    for (const std::string& name : d_.signal_names)
        if (filter.keeps(name)) want[static_cast<size_t>(d_.name_to_id[name])] = 1;
    std::erase_if(plan.vectors,
                  [&](const BitVector& v) { return !filter.keeps(decls_[v.first_decl].base()); });
    for (const BitVector& v : plan.vectors)
        for (size_t k : v.decls) want[static_cast<size_t>(decls_[k].id)] = 1;
    std::vector<uint64_t> column(want.size(), kDroppedId);
    uint64_t kept = 0;
    for (size_t id = 0; id < want.size(); ++id)
        if (want[id]) column[id] = kept++;
    auto route = [&](uint64_t& id) { id = id < column.size() ? column[id] : kNoId; };
    for (uint64_t& id : handle_ids_) route(id);
    for (auto& entry : other_handles_) route(entry.second);
    for (auto& entry : d_.name_to_id) route(entry.second);
    for (Declaration& d : decls_) route(d.id);
    next_id_ = kept;
    filtered_ = true;
}

// Buses dumped bit by bit get their vector under the bare name, right before the first bit's
// name, with ids after every handle's. The bits keep their names as written.
void Loader::add_vectors(NamePlan& plan) {
    std::vector<Assembly> vectors =
        choose_vectors(d_.store, decls_, plan, false, next_id_,
                       limits::kAssembledBytes.for_bytes(r_.input_bytes().size()));
    if (vectors.empty()) return;
    d_.store.reserve_ids(next_id_ + vectors.size());
    std::vector<std::string> names;
    names.reserve(d_.signal_names.size() + vectors.size());
    size_t j = 0;
    for (size_t k = 0; k < d_.signal_names.size(); ++k) {
        // Declaration k named signal k.
        if (j < vectors.size() && plan.vectors[vectors[j].vector].first_decl == k) {
            const BitVector& v = plan.vectors[vectors[j].vector];
            std::string base(decls_[k].base());
            names.push_back(base);
            d_.widths.emplace(base, static_cast<uint32_t>(v.high - v.low + 1));
            d_.name_to_id.emplace(std::move(base), vectors[j].id);
            assemble_vector(d_.store, vectors[j]);
            ++j;
        }
        names.push_back(std::move(d_.signal_names[k]));
    }
    d_.signal_names = std::move(names);
}

// Bit-vector values are never empty, so no change is Missing: nothing for the literal
// forward fill to overwrite, and an append is exactly the set-then-fill result.
void Loader::put(uint64_t id, uint64_t index, SignalValue v) {
    d_.store.append(id, index, v);
}

void Loader::put_record(uint64_t id, uint64_t index, const fst::Record& rec, fst::SignalInfo info) {
    switch (rec.form) {
        case fst::Record::Char:
            if (rec.ch == '0' || rec.ch == '1')
                d_.store.append_int(id, index, rec.ch - '0');
            else
                put(id, index, fst_bytes_to_value(&rec.ch, 1));
            return;
        case fst::Record::Packed:
            if (info.len() > 64 && wide_packed(rec.bytes.data(), info.len()))
                put(id, index, two_state_from_packed(rec.bytes.data(), info.len()));
            else
                d_.store.append_int(id, index, packed_to_u64(rec.bytes.data(), info.len()));
            return;
        case fst::Record::Chars:
            put(id, index, fst_bytes_to_value(rec.bytes.data(), rec.bytes.size()));
            return;
        case fst::Record::VarBytes:
            // Variable-length signals hold text: read by the bit-vector rules, most words
            // (any with an h, l, u or w) would turn into unknown bits.
            d_.store.append(id, index,
                            SignalValue::make_str(lossy_text(rec.bytes.data(), rec.bytes.size())));
            return;
        case fst::Record::Real:
            put(id, index, SignalValue::make_real(rec.real));
            return;
    }
}

fst::Status Loader::decode_signal(const fst::SectionData& sec, uint32_t i, size_t count,
                                  size_t limit, const IndexMap& index_of,
                                  std::vector<uint8_t>& scratch) {
    if (interrupted()) return fst::ok_status();  // the caller discards the result
    const bool le = r_.meta().float_little_endian;
    FST_ASSIGN(auto bytes, r_.signal_bytes(sec, i, scratch));
    const uint64_t id = handle_ids_[i];
    const fst::SignalInfo si = r_.meta().signals[i];
    if (id == kNoId) {
        // Not named by the hierarchy: decoded only to find corrupt data.
        return fst::for_each_record(bytes, si, le, count, limit, [](size_t, const fst::Record&) {});
    }
    return fst::for_each_record(bytes, si, le, count, limit, [&](size_t k, const fst::Record& rec) {
        put_record(id, index_of(k), rec, si);
    });
}

// Signals of a section are independent: each fills only its own column. Large sections are
// split into byte-balanced runs of signals for the worker pool; the first error in signal order
// is the one reported, as in a sequential decode.
fst::Status Loader::decode_section(const fst::SectionData& sec, size_t count, size_t limit,
                                   const IndexMap& index_of) {
    std::vector<uint32_t> todo;
    uint64_t total = 0;
    for (uint32_t i = 0; i < sec.locs.size(); ++i) {
        if (sec.locs[i].kind == fst::LocEntry::Empty) continue;
        if (filtered_ && handle_ids_[i] == kNoId) continue;  // not even decompressed
        todo.push_back(i);
        total += sec.locs[i].length;
    }
    const size_t workers = worker_count();
    if (workers <= 1 || total < options_.parallel_min_bytes) {
        std::vector<uint8_t> scratch;
        for (uint32_t i : todo) FST_CHECK(decode_signal(sec, i, count, limit, index_of, scratch));
        return fst::ok_status();
    }
    const uint64_t per_task = total / (workers * 8) + 1;
    std::vector<size_t> bounds{0};
    uint64_t acc = 0;
    for (size_t t = 0; t < todo.size(); ++t) {
        acc += sec.locs[todo[t]].length;
        if (acc >= per_task) {
            bounds.push_back(t + 1);
            acc = 0;
        }
    }
    if (bounds.back() != todo.size()) bounds.push_back(todo.size());
    std::vector<std::optional<fst::ReaderError>> errors(bounds.size() - 1);
    parallel_for(bounds.size() - 1, [&](size_t task) {
        std::vector<uint8_t> scratch;
        for (size_t t = bounds[task]; t < bounds[task + 1]; ++t) {
            auto st = decode_signal(sec, todo[t], count, limit, index_of, scratch);
            if (!st) {
                errors[task] = std::move(st).error();
                return;
            }
        }
        r_.release_signals(sec, todo[bounds[task]], todo[bounds[task + 1] - 1]);
    });
    for (auto& e : errors)
        if (e) return std::move(*e);
    return fst::ok_status();
}

fst::Status Loader::load_values() {
    const auto& meta = r_.meta();
    const auto& geometry = meta.signals;
    const auto& times = d_.timestamps;
    const uint64_t end = meta.header.end_time;
    const bool le = meta.float_little_endian;
    std::vector<uint64_t> local_index;
    bool first = true;
    for (size_t j = 0; j < meta.sections.size(); ++j) {
        const fst::VcSection& vs = meta.sections[j];
        if (vs.start_time > end) continue;
        FST_ASSIGN(fst::SectionData sec, r_.read_section(j, first));
        first = false;
        if (sec.has_frame) {
            // The index of the section start: equal time, else the last earlier one, else 0.
            auto it = std::upper_bound(times.begin(), times.end(), sec.start_time);
            uint64_t at = it == times.begin() ? 0 : static_cast<uint64_t>(it - times.begin()) - 1;
            size_t off = 0;
            for (uint32_t i = 0; i < geometry.size(); ++i) {
                fst::SignalInfo si = geometry[i];
                const uint8_t* p = sec.frame.data() + off;
                off += si.frame_bytes();
                uint64_t id = handle_ids_[i];
                if (id == kNoId || si.word() == 1 || at >= times.size()) continue;
                if (si.is_real())
                    put(id, at, SignalValue::make_real(fst::read_double(p, le)));
                else
                    put(id, at, fst_bytes_to_value(p, si.frame_bytes()));
            }
        }
        const size_t count = sec.times.size();
        size_t limit = 0;
        while (limit < count && sec.times[limit] <= end) ++limit;
        // Sample index of each time-table entry: repeated times share one index.
        IndexMap index_of{vs.time_index_base, nullptr};
        bool repeats = false;
        for (size_t k = 1; k < count && !repeats; ++k) repeats = sec.times[k] == sec.times[k - 1];
        if (repeats) {
            local_index.resize(count);
            for (size_t k = 0; k < count; ++k)
                local_index[k] = k == 0 ? vs.time_index_base
                                        : local_index[k - 1] + (sec.times[k] != sec.times[k - 1]);
            index_of.table = local_index.data();
        }
        FST_CHECK(decode_section(sec, count, limit, index_of));
        r_.release_section(j);
    }
    return fst::ok_status();
}

Result<Trace> Loader::run() {
    d_.kind = TraceKind::Fst;
    handle_ids_.assign(r_.meta().signals.size(), kNoId);
    auto st = r_.read_hierarchy([this](fst::FstHierarchyEntry&& e) { on_entry(std::move(e)); });
    if (!st) return Result<Trace>::fail("FST hierarchy: " + st.error().display());
    if (over_budget_)
        return Result<Trace>::fail("FST hierarchy: the scopes expand to more than " +
                                   std::to_string(name_budget()) + " bytes of names");
    d_.timestamps = r_.take_time_table();  // one copy in memory, not two
    d_.timescale = Timescale::from_exponent(r_.meta().header.timescale_exponent);
    // Planned from every declaration: which selects a name keeps depends on all of them.
    NamePlan plan = plan_names(decls_);
    if (!options_.filter.keeps_all()) keep_only(plan);
    d_.store.reserve_ids(next_id_);
    st = load_values();
    if (interrupted()) return Result<Trace>::fail("interrupted");
    if (!st) return Result<Trace>::fail("FST signals: " + st.error().display());
    add_vectors(plan);
    keep_signals(d_, options_.filter);
    d_.store.finish(d_.timestamps.size());
    return Trace(std::move(d_));
}

Result<Trace> load(fst::Input input, const FstLoadOptions& options) {
    auto reader = fst::FstReader::open_internal(std::move(input), true);
    if (!reader) return Result<Trace>::fail("FST open: " + reader.error().display());
    return Loader(reader.value(), options).run();
}

}  // namespace

SignalValue fst_bytes_to_value(const uint8_t* p, size_t n) {
    if (n == 0) return SignalValue::missing();
    bool logic = false, binary = true;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = kClasses.cls[p[i]];
        if (c == kCLogic) {
            logic = true;
            break;
        }
        if (c == kCOther) binary = false;
    }
    if (logic) {
        SignalValue::Bits bits(n);
        for (size_t i = 0; i < n; ++i) bits[i] = logic_code(p[i]);
        return SignalValue::make_logic(std::move(bits));
    }
    if (binary) {
        if (n > 64) return two_state_from_digits({reinterpret_cast<const char*>(p), n});
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 1) | (p[i] - '0');
        return SignalValue::make_int(v);
    }
    return SignalValue::make_str(lossy_text(p, n));
}

Result<Trace> read_fst(const std::string& path) {
    return read_fst(path, FstLoadOptions{});
}

Result<Trace> read_fst(const std::string& path, const FstLoadOptions& options) {
    int err = 0;
    auto input = fst::Input::map_file(path, err);
    if (!input)
        return Result<Trace>::fail("Failed to open " + path + ": " + std::strerror(err) +
                                   " (os error " + std::to_string(err) + ")");
    return load(std::move(*input), options);
}

Result<Trace> read_fst_bytes(std::vector<uint8_t> bytes, const FstLoadOptions& options) {
    return load(fst::Input::from_bytes(std::move(bytes)), options);
}

}  // namespace tarn
