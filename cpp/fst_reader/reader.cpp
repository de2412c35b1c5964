#include "reader.h"

#include <algorithm>
#include <limits>

#include "decompress.h"

namespace fst {

ReaderError record_error(RecordStatus s) {
    switch (s) {
        case RecordStatus::Eof:
            return ReaderError::io("unexpected eof");
        case RecordStatus::Leb128:
            return ReaderError::code(ErrorKind::Leb128, 32);
        case RecordStatus::PackedReal:
            return ReaderError::invalid("packed real values are not supported");
        case RecordStatus::Ok:
            break;
    }
    return ReaderError::io();
}

// ---- opening walk ------------------------------------------------------------------------------

Status HeaderReader::read_data(uint8_t code) {
    const uint64_t p = in.pos();
    if (in.remaining() < 32) {
        truncated = true;
        return ok_status();
    }
    FST_ASSIGN(uint64_t len, read_u64(in));
    FST_ASSIGN(uint64_t start, read_u64(in));
    FST_ASSIGN(uint64_t end, read_u64(in));
    FST_ASSIGN(uint64_t memory, read_u64(in));
    if (len < 32) return ReaderError::invalid("value-change block section length is too small");
    if (len > in.size() - p) {
        // A block cut short: what an interrupted writer leaves behind.
        truncated = true;
        return ok_status();
    }
    VcSection vs{p, start, end, memory, code, 0};
    if (time_table) {
        FST_ASSIGN(TimeTable tt, read_time_table(in, p, len));
        auto& all = *time_table;
        if (sections.empty() && tt.times.empty())
            return ReaderError::invalid("the first value-change block has an empty time table");
        if (all.empty() && !tt.times.empty() && start < tt.times.front()) all.push_back(start);
        // A time stamp is one sample however often the tables repeat it: writers repeat the
        // boundary time of a split section at the start of the next one, and some repeat a
        // time within a table.
        bool repeat = !all.empty() && !tt.times.empty() && tt.times.front() == all.back();
        vs.time_index_base = all.size() - (repeat ? 1 : 0);
        for (uint64_t t : tt.times)
            if (all.empty() || all.back() != t) all.push_back(t);
    }
    FST_CHECK(in.seek(p + len));
    if (header) {
        Header& h = header->header;
        if (sections.empty()) {
            if (h.start_time == 0 && h.end_time == 0) {
                h.start_time = start;
                h.end_time = end;
                filling_header_times = true;
            }
        } else if (filling_header_times) {
            h.end_time = end;
        }
    }
    sections.push_back(vs);
    return ok_status();
}

Status HeaderReader::walk() {
    while (!in.at_end()) {
        FST_ASSIGN(uint8_t code, read_u8(in));
        switch (code) {
            case 0: {
                FST_ASSIGN(header, read_header(in));
                break;
            }
            case 1:
            case 5:
            case 8: {
                FST_CHECK(read_data(code));
                if (truncated) return ok_status();
                break;
            }
            case 2: {
                FST_ASSIGN(blackouts, read_blackout(in));
                break;
            }
            case 3: {
                FST_ASSIGN(signals, read_geometry(in));
                break;
            }
            case 4:
            case 6:
            case 7: {
                if (hierarchy)
                    return ReaderError::invalid("the file has more than one hierarchy block");
                uint64_t p = in.pos();
                FST_ASSIGN(uint64_t len, read_u64(in));
                if (len < 8)
                    return ReaderError::invalid("hierarchy block section length is too small");
                if (len - 8 > in.remaining()) {
                    truncated = true;
                    return ok_status();
                }
                FST_CHECK(in.skip(len - 8));
                auto comp = code == 4   ? HierarchyCompression::GZip
                            : code == 6 ? HierarchyCompression::Lz4
                                        : HierarchyCompression::Lz4Duo;
                hierarchy = std::make_pair(p, comp);
                break;
            }
            case 255: {
                FST_ASSIGN(uint64_t len, read_u64(in));
                if (len == 0) return ok_status();
                if (len < 8) return ReaderError::invalid("skip block section length is too small");
                if (len - 8 > in.remaining()) {
                    truncated = true;
                    return ok_status();
                }
                FST_CHECK(in.skip(len - 8));
                break;
            }
            default:
                return ReaderError::code(ErrorKind::BlockType, code);
        }
    }
    return ok_status();
}

Result<FstReader> FstReader::open_internal(Input input, bool read_time_table) {
    {
        Cursor c(input.bytes());
        FST_ASSIGN(uint8_t first, read_u8(c));
        if (first > 8 && first < 254) return ReaderError::code(ErrorKind::BlockType, first);
        if (first == 254) {
            FST_ASSIGN(uint64_t len, read_u64(c));
            FST_ASSIGN(uint64_t ulen, read_u64(c));
            if (len == 0) return ReaderError::plain(ErrorKind::NotFinishedCompressing);
            FST_CHECK(read_gzip_header(c));
            FST_ASSIGN(auto inner, inflate_gzip_wrapper(c, ulen));
            input = Input::from_bytes(std::move(inner));
        }
    }
    HeaderReader hr;
    hr.in = Cursor(input.bytes());
    if (read_time_table) hr.time_table.emplace();
    FST_CHECK(hr.walk());
    if (!hr.signals) return ReaderError::plain(ErrorKind::MissingGeometry);
    if (!hr.hierarchy) return ReaderError::plain(ErrorKind::MissingHierarchy);
    if (!hr.header) return ReaderError::plain(ErrorKind::MissingHeader);
    if (hr.truncated) return ReaderError::io();
    FstReader r;
    r.input_ = std::move(input);
    r.meta_.header = std::move(hr.header->header);
    r.meta_.float_little_endian = hr.header->float_little_endian;
    r.meta_.signals = std::move(*hr.signals);
    if (hr.blackouts) r.meta_.blackouts = std::move(*hr.blackouts);
    r.meta_.sections = std::move(hr.sections);
    r.meta_.hierarchy_position = hr.hierarchy->first;
    r.meta_.hierarchy_compression = hr.hierarchy->second;
    r.meta_.time_table = std::move(hr.time_table);
    return r;
}

// ---- hierarchy ---------------------------------------------------------------------------------

Status FstReader::read_hierarchy(const std::function<void(FstHierarchyEntry&&)>& callback) const {
    Cursor c(input_.bytes());
    FST_CHECK(c.seek(meta_.hierarchy_position));
    FST_ASSIGN(auto bytes, read_hierarchy_bytes(c, meta_.hierarchy_compression));
    Cursor h(bytes);
    uint32_t handles = 0;
    for (;;) {
        FST_ASSIGN(auto entry, read_hierarchy_entry(h, handles));
        if (!entry) return ok_status();
        callback(std::move(*entry));
    }
}

// ---- value changes -----------------------------------------------------------------------------

Result<SectionData> FstReader::read_section(size_t j, bool with_frame) const {
    const VcSection& vs = meta_.sections.at(j);
    const auto& geometry = meta_.signals;
    Cursor c(input_.bytes());
    FST_CHECK(c.seek(vs.position));
    const uint64_t s = vs.position;
    FST_ASSIGN(uint64_t len, read_u64(c));
    SectionData sec;
    FST_ASSIGN(sec.start_time, read_u64(c));
    FST_ASSIGN(sec.end_time, read_u64(c));
    if (sec.start_time != vs.start_time || sec.end_time != vs.end_time)
        return ReaderError::invalid("value-change block times differ from the indexed ones");
    FST_ASSIGN(TimeTable tt, read_time_table(c, s, len));
    sec.times = std::move(tt.times);
    FST_CHECK(c.seek(s + 32));
    FST_ASSIGN(Leb64 frame_ulen, read_variant_u64(c));
    FST_ASSIGN(Leb64 frame_clen, read_variant_u64(c));
    FST_ASSIGN(Leb64 frame_count, read_variant_u64(c));
    if (frame_count.value != geometry.size())
        return ReaderError::invalid("frame signal count differs from the geometry");
    if (frame_clen.value > len)
        return ReaderError::invalid("frame compressed length exceeds its section");
    if (with_frame && (sec.times.empty() || sec.start_time < sec.times.front())) {
        FST_ASSIGN(sec.frame,
                   read_zlib_compressed_bytes(c, frame_ulen.value, frame_clen.value, true));
        uint64_t need = 0;
        for (SignalInfo si : geometry) need += si.frame_bytes();
        if (sec.frame.size() < need)
            return ReaderError::invalid("frame is shorter than its signals");
        sec.has_frame = true;
    } else {
        FST_CHECK(c.skip(frame_clen.value));
    }
    FST_ASSIGN(Leb64 n, read_variant_u64(c));
    if (n.value > geometry.size())
        return ReaderError::invalid("value-change signal count exceeds the geometry");
    FST_ASSIGN(sec.pack_type, read_u8(c));
    sec.base = c.pos() - 1;
    const uint64_t e = s + len;
    if (tt.trailing_length + 8 > len || e - tt.trailing_length - 8 < sec.base + 1)
        return ReaderError::invalid("position table lies outside its section");
    const uint64_t table_end = e - tt.trailing_length - 8;
    FST_CHECK(c.seek(table_end));
    FST_ASSIGN(uint64_t table_len, read_u64(c));
    if (table_len > table_end - (sec.base + 1))
        return ReaderError::invalid("position table lies outside its section");
    auto table = input_.bytes().subspan(static_cast<size_t>(table_end - table_len),
                                        static_cast<size_t>(table_len));
    const uint64_t data_len = table_end - table_len - sec.base;
    if (vs.kind == 8) {
        FST_ASSIGN(sec.locs, read_value_change_alias2(table, n.value, data_len));
    } else {
        FST_ASSIGN(sec.locs, read_value_change_alias(table, n.value, data_len));
    }
    for (auto& loc : sec.locs) {
        if (loc.kind == LocEntry::Alias) {
            loc.offset = sec.locs[loc.alias].offset;
            loc.length = sec.locs[loc.alias].length;
        }
    }
    return sec;
}

void FstReader::release_section(size_t j) const {
    const VcSection& vs = meta_.sections.at(j);
    const size_t next =
        j + 1 < meta_.sections.size() ? meta_.sections[j + 1].position : input_.bytes().size();
    input_.release(vs.position, next > vs.position ? next - vs.position : 0);
}

void FstReader::release_signals(const SectionData& section, uint32_t first, uint32_t last) const {
    uint64_t lo = UINT64_MAX, hi = 0;
    for (uint32_t i = first; i <= last && i < section.locs.size(); ++i) {
        const LocEntry& loc = section.locs[i];
        if (loc.kind != LocEntry::Data) continue;
        lo = std::min<uint64_t>(lo, section.base + loc.offset);
        hi = std::max<uint64_t>(hi, uint64_t(section.base) + loc.offset + loc.length);
    }
    if (lo < hi) input_.release(lo, hi - lo);
}

Result<std::span<const uint8_t>> FstReader::signal_bytes(const SectionData& section, uint32_t i,
                                                         std::vector<uint8_t>& scratch) const {
    const LocEntry& loc = section.locs.at(i);
    Cursor c(input_.bytes());
    FST_CHECK(c.seek(section.base + loc.offset));
    return read_packed_signal_value_bytes(c, loc.length, section.pack_type, scratch);
}

Status FstReader::read_signals(
    const SignalFilter& filter,
    const std::function<void(uint64_t, FstSignalHandle, const ChangeValue&)>& callback) const {
    const auto& geometry = meta_.signals;
    const uint64_t end = filter.end.value_or(meta_.header.end_time);
    BitMask mask = BitMask::repeat(!filter.include.has_value(), geometry.size());
    if (filter.include)
        for (auto h : *filter.include) mask.set(h.index(), true);
    const bool le = meta_.float_little_endian;
    constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    std::vector<uint8_t> expanded, scratch, combined;
    bool first = true;
    for (size_t j = 0; j < meta_.sections.size(); ++j) {
        const VcSection& vs = meta_.sections[j];
        if (vs.start_time > end || vs.end_time < filter.start) continue;
        FST_ASSIGN(SectionData sec, read_section(j, first));
        first = false;
        if (sec.has_frame) {
            size_t off = 0;
            for (uint32_t i = 0; i < geometry.size(); ++i) {
                SignalInfo si = geometry[i];
                size_t nb = si.frame_bytes();
                if (mask.is_set(i) && si.word() != 1) {
                    ChangeValue v;
                    if (si.is_real()) {
                        v.kind = ChangeValue::Real;
                        v.real = read_double(sec.frame.data() + off, le);
                    } else {
                        v.bytes = {sec.frame.data() + off, nb};
                    }
                    callback(sec.start_time, FstSignalHandle::from_index(i), v);
                }
                off += nb;
            }
        }
        const size_t n = sec.locs.size();
        const size_t count = sec.times.size();
        std::vector<size_t> pos(n, 0), stop(n, 0);
        std::vector<uint32_t> next(n, kNone), head(std::max<size_t>(count, 1), kNone);
        combined.clear();
        for (uint32_t i = 0; i < n; ++i) {
            if (sec.locs[i].kind == LocEntry::Empty || !mask.is_set(i)) continue;
            FST_ASSIGN(auto bytes, signal_bytes(sec, i, scratch));
            if (bytes.empty()) continue;
            pos[i] = combined.size();
            combined.insert(combined.end(), bytes.begin(), bytes.end());
            stop[i] = combined.size();
            auto delta = geometry[i].word() == 2 ? read_one_bit_signal_time_delta(bytes, 0)
                                                 : read_multi_bit_signal_time_delta(bytes, 0);
            if (!delta) return std::move(delta).error();
            if (delta.value() >= count)
                return ReaderError::invalid("value change beyond the section's time table");
            next[i] = head[delta.value()];
            head[delta.value()] = i;
        }
        Record r;
        for (size_t k = 0; k < count; ++k) {
            if (sec.times[k] > end) break;
            while (head[k] != kNone) {
                uint32_t i = head[k];
                head[k] = next[i];
                const uint8_t* p = combined.data() + pos[i];
                const uint8_t* stop_p = combined.data() + stop[i];
                RecordStatus st = decode_record(p, stop_p, geometry[i], le, r);
                if (st != RecordStatus::Ok) return record_error(st);
                ChangeValue v;
                uint8_t ch = r.ch;
                switch (r.form) {
                    case Record::Char:
                        v.bytes = {&ch, 1};
                        break;
                    case Record::Chars:
                    case Record::VarBytes:
                        v.bytes = r.bytes;
                        break;
                    case Record::Packed:
                        expand_packed(r.bytes, geometry[i].len(), expanded);
                        v.bytes = expanded;
                        break;
                    case Record::Real:
                        v.kind = ChangeValue::Real;
                        v.real = r.real;
                        break;
                }
                callback(sec.times[k], FstSignalHandle::from_index(i), v);
                pos[i] = static_cast<size_t>(p - combined.data());
                if (pos[i] < stop[i]) {
                    std::span<const uint8_t> rest(combined.data() + pos[i], stop[i] - pos[i]);
                    auto delta = geometry[i].word() == 2
                                     ? read_one_bit_signal_time_delta(rest, 0)
                                     : read_multi_bit_signal_time_delta(rest, 0);
                    if (!delta) return std::move(delta).error();
                    uint64_t k2 = k + delta.value();
                    if (k2 >= count)
                        return ReaderError::invalid("value change beyond the section's time table");
                    next[i] = head[k2];
                    head[k2] = i;
                }
            }
        }
    }
    return ok_status();
}

}  // namespace fst
