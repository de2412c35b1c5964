// The hierarchy block: its decompressed bytes, and the entries (scopes, variables, attributes)
// read from them one at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "input.h"
#include "types.h"

namespace fst {

struct OpenScope {
    uint8_t scope_type = 0;
    std::string name;
    std::string component;
};
struct CloseScope {};
struct Variable {
    uint8_t var_type = 0;
    uint8_t direction = 0;
    std::string name;
    uint32_t width = 0;
    FstSignalHandle handle = FstSignalHandle::from_index(0);
    bool aliased = false;
};
struct AttrPathName {
    uint64_t path_id = 0;
    std::string path;
};
struct AttrSourceStem {
    bool instance = false;
    uint64_t path_id = 0;
    uint64_t line = 0;
};
struct AttrComment {
    std::string text;
};
struct AttrEnumTable {
    std::string table_name;
    uint64_t table_handle = 0;
    std::vector<std::pair<std::string, std::string>> pairs;  // (value, literal name)
};
struct AttrEnumTableRef {
    uint64_t table_handle = 0;
};
struct AttrVhdlInfo {
    std::string type_name;
    uint8_t vhdl_var_type = 0;
    uint8_t vhdl_data_type = 0;
};
struct AttrEnd {};

using FstHierarchyEntry =
    std::variant<OpenScope, CloseScope, Variable, AttrPathName, AttrSourceStem, AttrComment,
                 AttrEnumTable, AttrEnumTableRef, AttrVhdlInfo, AttrEnd>;

// Reads the two lengths and the payload of a hierarchy block (cursor after the type byte).
Result<std::vector<uint8_t>> read_hierarchy_bytes(Cursor& in, HierarchyCompression compression);
// The next entry, or nothing at the end of the bytes. Attribute kinds and misc subtypes that
// carry no meaning for this reader are skipped.
Result<std::optional<FstHierarchyEntry>> read_hierarchy_entry(Cursor& in, uint32_t& handle_count);
Result<FstHierarchyEntry> parse_misc_attribute(uint8_t subtype, std::string text, uint64_t arg,
                                               uint64_t path_id);

}  // namespace fst
