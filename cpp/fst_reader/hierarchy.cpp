#include "hierarchy.h"

#include "decompress.h"
#include "util/text.h"

namespace fst {

Result<std::vector<uint8_t>> read_hierarchy_bytes(Cursor& in, HierarchyCompression comp) {
    FST_ASSIGN(uint64_t len, read_u64(in));
    FST_ASSIGN(uint64_t ulen, read_u64(in));
    std::vector<uint8_t> out;
    switch (comp) {
        case HierarchyCompression::GZip: {
            FST_CHECK(read_gzip_header(in));
            if (len < 26)
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 26));
            FST_CHECK(zlib_decode(src, ulen, out, true));
            break;
        }
        case HierarchyCompression::Lz4: {
            if (len < 16)
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 16));
            FST_CHECK(lz4_decode(src, ulen, out));
            break;
        }
        case HierarchyCompression::Lz4Duo: {
            FST_ASSIGN(Leb64 mid_len, read_variant_u64(in));
            if (len < 16 + uint64_t{mid_len.len})
                return ReaderError::invalid("hierarchy block section length is too small");
            FST_ASSIGN(auto src, in.take(len - 16 - mid_len.len));
            std::vector<uint8_t> mid;
            FST_CHECK(lz4_decode(src, mid_len.value, mid));
            FST_CHECK(lz4_decode(mid, ulen, out));
            break;
        }
    }
    return out;
}

Result<FstHierarchyEntry> parse_misc_attribute(uint8_t subtype, std::string text, uint64_t arg,
                                               uint64_t path_id) {
    switch (subtype) {
        case 0:
            return FstHierarchyEntry(AttrComment{std::move(text)});
        case 2: {
            uint8_t var_type = static_cast<uint8_t>(arg >> 10);
            if (var_type > 5) return ReaderError::code(ErrorKind::FstVhdlVarType, var_type);
            uint8_t data_type = static_cast<uint8_t>(arg);
            if (data_type > 16) return ReaderError::code(ErrorKind::FstVhdlDataType, data_type);
            return FstHierarchyEntry(AttrVhdlInfo{std::move(text), var_type, data_type});
        }
        case 3:
            return FstHierarchyEntry(AttrPathName{arg, std::move(text)});
        case 4:
        case 5:
            return FstHierarchyEntry(AttrSourceStem{subtype == 5, path_id, arg});
        case 7: {
            if (text.empty()) return FstHierarchyEntry(AttrEnumTableRef{arg});
            std::vector<std::string> parts;
            size_t start = 0;
            for (;;) {
                size_t sp = text.find(' ', start);
                parts.push_back(text.substr(start, sp == std::string::npos ? sp : sp - start));
                if (sp == std::string::npos) break;
                start = sp + 1;
            }
            if (parts.size() < 2)
                return ReaderError{ErrorKind::EnumTableString, 0, "not enough spaces", text};
            std::optional<uint32_t> count = tarn::text::parse_u32(parts[1]);
            if (!count) return ReaderError::plain(ErrorKind::ParseInt);
            const uint32_t n = *count;
            uint64_t want = 2 * uint64_t{n};
            if (parts.size() - 2 != want)
                return ReaderError{ErrorKind::EnumTableString, 0,
                                   "expected " + std::to_string(want) + " parts got " +
                                       std::to_string(parts.size() - 2),
                                   text};
            AttrEnumTable t{parts[0], arg, {}};
            t.pairs.reserve(n);
            for (uint32_t i = 0; i < n; ++i)
                t.pairs.emplace_back(std::move(parts[2 + n + i]), std::move(parts[2 + i]));
            return FstHierarchyEntry(std::move(t));
        }
        default:
            return ReaderError::code(ErrorKind::MiscType, subtype);
    }
}

Result<std::optional<FstHierarchyEntry>> read_hierarchy_entry(Cursor& in, uint32_t& handle_count) {
    using Out = std::optional<FstHierarchyEntry>;
    for (;;) {
        if (in.at_end()) return Out{};
        FST_ASSIGN(uint8_t tag, read_u8(in));
        if (tag <= 29) {
            Variable v;
            v.var_type = tag;
            FST_ASSIGN(v.direction, read_u8(in));
            if (v.direction > 5) return ReaderError::code(ErrorKind::FstVarDirection, v.direction);
            FST_ASSIGN(v.name, read_c_str(in, 65536));
            FST_ASSIGN(Leb32 len, read_variant_u32(in));
            FST_ASSIGN(Leb32 alias, read_variant_u32(in));
            v.width = tag == 18 ? (len.value - 2) / 3 : len.value;
            if (alias.value == 0) {
                if (++handle_count == 0) return ReaderError::invalid("too many signal handles");
                v.handle = FstSignalHandle::from_index(handle_count - 1);
            } else {
                v.handle = FstSignalHandle::from_index(alias.value - 1);
                v.aliased = true;
            }
            return Out{std::move(v)};
        }
        switch (tag) {
            case 254: {
                OpenScope s;
                FST_ASSIGN(s.scope_type, read_u8(in));
                if (s.scope_type >= 23 && s.scope_type <= 251)
                    return ReaderError::code(ErrorKind::FstScopeType, s.scope_type);
                FST_ASSIGN(s.name, read_c_str(in, 65536));
                FST_ASSIGN(s.component, read_c_str(in, 65536));
                return Out{std::move(s)};
            }
            case 255:
                return Out{CloseScope{}};
            case 253:
                return Out{AttrEnd{}};
            case 252: {
                FST_ASSIGN(uint8_t kind, read_u8(in));
                if (kind > 3) return ReaderError::code(ErrorKind::AttributeType, kind);
                FST_ASSIGN(uint8_t subtype, read_u8(in));
                if (subtype > 8) return ReaderError::code(ErrorKind::MiscType, subtype);
                if (kind == 0 && (subtype == 4 || subtype == 5)) {
                    FST_ASSIGN(Leb64 path_id, read_variant_u64(in));
                    FST_ASSIGN(uint8_t zero, read_u8(in));
                    if (zero != 0)
                        return ReaderError::invalid("source stem attribute lacks its zero byte");
                    FST_ASSIGN(Leb64 line, read_variant_u64(in));
                    FST_ASSIGN(auto e,
                               parse_misc_attribute(subtype, {}, line.value, path_id.value));
                    return Out{std::move(e)};
                }
                FST_ASSIGN(std::string text, read_c_str(in, 69632));
                FST_ASSIGN(Leb64 arg, read_variant_u64(in));
                // Array, enum and pack attributes and the environment, value-list and unknown
                // misc subtypes carry nothing this reader uses: skip them.
                if (kind != 0 || subtype == 1 || subtype == 6 || subtype == 8) continue;
                FST_ASSIGN(auto e, parse_misc_attribute(subtype, std::move(text), arg.value, 0));
                return Out{std::move(e)};
            }
            default:
                return ReaderError::code(ErrorKind::FstVarType, tag);
        }
    }
}

}  // namespace fst
