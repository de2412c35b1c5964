// Opening walk, hierarchy and value changes of the FST reader on hand-built files, including
// the block codes no current writer produces and hostile lengths.
#include <gtest/gtest.h>

#include <zlib.h>

#include <fstream>
#include <iterator>

#include "fst_builder.h"
#include "fst_reader/decompress.h"
#include "fst_reader/reader.h"
#include "trace/fst.h"
#include "trace/readers.h"

using namespace fst;
using namespace fst_test;

namespace {

struct Change {
    uint64_t time;
    uint32_t handle;
    std::string value;
    bool operator==(const Change&) const = default;
};

std::vector<Change> all_changes(const FstReader& r, Status* status = nullptr) {
    std::vector<Change> out;
    auto st = r.read_signals({}, [&](uint64_t t, FstSignalHandle h, const ChangeValue& v) {
        std::string s;
        if (v.kind == ChangeValue::Real)
            s.append("r").append(std::to_string(v.real));
        else
            s.assign(v.bytes.begin(), v.bytes.end());
        out.push_back({t, h.value(), s});
    });
    if (status) *status = st;
    return out;
}

// Signal 0: one bit, '1' at index 0 and 'z' at index 2. Signal 1: four bits, "1x0z" at index 1
// and "1010" (two-state packed) at index 2.
Bytes two_signal_data() {
    Bytes d = raw_signal({2, 35});
    append(d, raw_signal({3, '1', 'x', '0', 'z', 2, 0xA0}));
    return d;
}

Bytes hierarchy(int vars) {
    Bytes e = scope_entry("top");
    append(e, var_entry("a", 1));
    append(e, var_entry("b", 4));
    if (vars > 2) append(e, var_entry("c", 1));
    e.push_back(255);
    return lz4_hierarchy_block(e);
}

Bytes file_with(const VcBlock& vc, const std::vector<uint32_t>& geometry, int vars) {
    Bytes f = header_block(0, 20);
    append(f, vc.build());
    append(f, geometry_block(geometry));
    append(f, hierarchy(vars));
    return f;
}

VcBlock two_signal_block(uint8_t code) {
    VcBlock vc;
    vc.code = code;
    vc.end = 20;
    vc.frame = {'0', '0', '0', '0', '0'};
    vc.frame_count = 2;
    vc.n = 2;
    vc.data = two_signal_data();
    vc.table = {3, 7};
    vc.times = {0, 10, 20};
    return vc;
}

Result<FstReader> open(const Bytes& b) {
    return FstReader::open_bytes(b, true);
}

}  // namespace

TEST(FstValueChanges, AllBlockCodesGiveTheSameChanges) {
    const std::vector<Change> expect{{0, 1, "1"}, {10, 2, "1x0z"}, {20, 2, "1010"}, {20, 1, "z"}};
    for (uint8_t code : {1, 5, 8}) {
        auto r = open(file_with(two_signal_block(code), {1, 4}, 2));
        ASSERT_TRUE(r) << r.error().display();
        EXPECT_EQ(r.value().meta().sections.at(0).kind, code);
        Status st = ok_status();
        EXPECT_EQ(all_changes(r.value(), &st), expect) << int(code);
        EXPECT_TRUE(st);
    }
}

TEST(FstValueChanges, AliasEntriesRepeatTheirTarget) {
    VcBlock vc = two_signal_block(5);
    vc.frame.push_back('0');
    vc.frame_count = 3;
    vc.n = 3;
    vc.table = {3, 7, 0, 1};
    auto r = open(file_with(vc, {1, 4, 1}, 3));
    ASSERT_TRUE(r) << r.error().display();
    auto changes = all_changes(r.value());
    std::vector<Change> alias;
    for (auto& c : changes)
        if (c.handle == 3) alias.push_back({c.time, 1, c.value});
    EXPECT_EQ(alias, (std::vector<Change>{{0, 1, "1"}, {20, 1, "z"}}));
}

TEST(FstValueChanges, FrameBeforeTheFirstTimeAndFilterEnd) {
    VcBlock vc = two_signal_block(8);
    vc.start = 2;
    vc.times = {5, 10, 20};
    vc.frame = {'1', '0', '1', '1', '0'};
    Bytes f = header_block(0, 10);
    append(f, vc.build());
    append(f, geometry_block({1, 4}));
    append(f, hierarchy(2));
    auto r = open(f);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(*r.value().meta().time_table, (std::vector<uint64_t>{2, 5, 10, 20}));
    // Header end time 10: the changes at 20 are dropped.
    EXPECT_EQ(all_changes(r.value()),
              (std::vector<Change>{{2, 1, "1"}, {2, 2, "0110"}, {5, 1, "1"}, {10, 2, "1x0z"}}));
}

TEST(FstValueChanges, MalformedSectionsFail) {
    auto fails = [](VcBlock vc, std::vector<uint32_t> geometry, const char* what) {
        auto r = open(file_with(vc, geometry, 2));
        ASSERT_TRUE(r) << what;
        Status st = ok_status();
        all_changes(r.value(), &st);
        EXPECT_FALSE(st) << what;
    };
    VcBlock vc = two_signal_block(8);
    vc.frame_count = 3;
    fails(vc, {1, 4}, "frame count differs from geometry");
    vc = two_signal_block(8);
    vc.n = 3;
    fails(vc, {1, 4}, "more signals than the geometry");
    vc = two_signal_block(8);
    vc.times = {0, 10};
    fails(vc, {1, 4}, "delta past the time table");
    vc = two_signal_block(8);
    vc.data = raw_signal({2, 35});
    append(vc.data, raw_signal({3, '1'}));
    fails(vc, {1, 4}, "record past the signal's bytes");
    vc = two_signal_block(8);
    vc.data = raw_signal({2, 35});
    append(vc.data, raw_signal({2, 0, 0, 0, 0, 0, 0, 0, 0}));
    fails(vc, {1, 0}, "packed real");
}

TEST(FstOpen, WalkRules) {
    EXPECT_EQ(open(Bytes{9}).error().kind, ErrorKind::BlockType);
    EXPECT_EQ(open(Bytes{}).error().kind, ErrorKind::Io);

    Bytes no_geometry = header_block(0, 0);
    EXPECT_EQ(open(no_geometry).error().kind, ErrorKind::MissingGeometry);
    append(no_geometry, hierarchy(2));
    EXPECT_EQ(open(no_geometry).error().kind, ErrorKind::MissingGeometry);
    Bytes no_hierarchy = header_block(0, 0);
    append(no_hierarchy, geometry_block({1}));
    EXPECT_EQ(open(no_hierarchy).error().kind, ErrorKind::MissingHierarchy);
    Bytes no_header = geometry_block({1});
    append(no_header, hierarchy(2));
    EXPECT_EQ(open(no_header).error().display(),
              "The FST file is incomplete: header block is missing.");
    Bytes two_hierarchies = header_block(0, 0);
    append(two_hierarchies, geometry_block({1}));
    append(two_hierarchies, hierarchy(2));
    append(two_hierarchies, hierarchy(2));
    EXPECT_EQ(open(two_hierarchies).error().kind, ErrorKind::InvalidData);

    // Header times filled in from the sections; a skip block of length 0 ends the walk.
    VcBlock a = two_signal_block(8), b = two_signal_block(8);
    a.start = 10, a.end = 50, a.times = {10, 20, 20, 50};
    b.start = 50, b.end = 90, b.times = {50, 60, 90};
    Bytes f = header_block(0, 0);
    append(f, a.build());
    append(f, b.build());
    append(f, geometry_block({1, 4}));
    append(f, hierarchy(2));
    Bytes skip_end{255};
    put_u64(skip_end, 0);
    append(f, skip_end);
    f.push_back(77);  // never read
    auto r = open(f);
    ASSERT_TRUE(r) << r.error().display();
    EXPECT_EQ(r.value().meta().header.start_time, 10u);
    EXPECT_EQ(r.value().meta().header.end_time, 90u);
    // The boundary time 50 is in both tables and 20 twice in one: each is collected once.
    EXPECT_EQ(*r.value().meta().time_table, (std::vector<uint64_t>{10, 20, 50, 60, 90}));
    EXPECT_EQ(r.value().meta().sections[1].time_index_base, 2u);
}

TEST(FstOpen, HeaderChecks) {
    Bytes f = header_block(0, 0, false);
    append(f, geometry_block({0, 0xFFFFFFFF, 7}));
    append(f, hierarchy(2));
    auto r = open(f);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r.value().meta().float_little_endian);
    EXPECT_EQ(r.value().meta().header.writer, "test");
    EXPECT_EQ(r.value().meta().header.timescale_exponent, -9);
    const auto& g = r.value().meta().signals;
    EXPECT_TRUE(g[0].is_real());
    EXPECT_EQ(g[1].word(), 1u);
    EXPECT_EQ(g[2].len(), 7u);

    Bytes bad_e = header_block(0, 0);
    bad_e[1 + 24] ^= 1;
    EXPECT_EQ(open(bad_e).error().kind, ErrorKind::InvalidData);
    Bytes bad_len = header_block(0, 0);
    bad_len[8] = 0x48;
    EXPECT_EQ(open(bad_len).error().kind, ErrorKind::InvalidData);
    Bytes bad_type = header_block(0, 0);
    bad_type[1 + 320] = 3;
    EXPECT_EQ(open(bad_type).error().kind, ErrorKind::FileType);
}

namespace {

Bytes gzip_wrap(const Bytes& inner, uint64_t section_len, uint8_t flags) {
    Bytes deflated(compressBound(static_cast<uLong>(inner.size())) + 64);
    z_stream zs{};
    deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    zs.next_in = const_cast<Bytef*>(inner.data());
    zs.avail_in = static_cast<uInt>(inner.size());
    zs.next_out = deflated.data();
    zs.avail_out = static_cast<uInt>(deflated.size());
    deflate(&zs, Z_FINISH);
    deflated.resize(zs.total_out);
    deflateEnd(&zs);
    Bytes w{254};
    put_u64(w, section_len);
    put_u64(w, inner.size());
    append(w, {0x1f, 0x8b, 8, flags, 0, 0, 0, 0, 0, 3});
    append(w, deflated);
    append(w, {0, 0, 0, 0, 0, 0, 0, 0});
    return w;
}

}  // namespace

TEST(FstOpen, GzipWrapper) {
    Bytes inner = file_with(two_signal_block(8), {1, 4}, 2);
    auto r = open(gzip_wrap(inner, 1, 0));
    ASSERT_TRUE(r) << r.error().display();
    auto plain = open(inner);
    EXPECT_EQ(*r.value().meta().time_table, *plain.value().meta().time_table);
    EXPECT_EQ(all_changes(r.value()), all_changes(plain.value()));
    EXPECT_EQ(open(gzip_wrap(inner, 0, 0)).error().kind, ErrorKind::NotFinishedCompressing);
    EXPECT_EQ(open(gzip_wrap(inner, 1, 8)).error().kind, ErrorKind::GZipHeader);
    Bytes corrupt = gzip_wrap(inner, 1, 0);
    corrupt[27] = 0xFF;  // reserved deflate block type
    EXPECT_EQ(open(corrupt).error().display(), "failed to decompress gzip stream: Data");
    Bytes cut = gzip_wrap(inner, 1, 0);
    cut.resize(40);
    EXPECT_EQ(open(cut).error().display(), "failed to decompress gzip stream: Buf");
    // A wrapper inside the wrapped file is not accepted.
    EXPECT_EQ(open(gzip_wrap(gzip_wrap(inner, 1, 0), 1, 0)).error().kind, ErrorKind::BlockType);
}

TEST(FstOpen, HostileLengthsFailWithoutLargeAllocations) {
    // A value-change section claiming 2^60 bytes.
    Bytes f = header_block(0, 0);
    Bytes vc{8};
    put_u64(vc, uint64_t{1} << 60);
    for (int i = 0; i < 3; ++i) put_u64(vc, 0);
    append(f, vc);
    EXPECT_FALSE(open(f));

    // A geometry of 2^32 signals backed by four bytes.
    Bytes g = header_block(0, 0);
    Bytes geo{3};
    put_u64(geo, 28);
    put_u64(geo, 4);
    put_u64(geo, uint64_t{1} << 32);
    append(geo, {1, 1, 1, 1});
    append(g, geo);
    append(g, hierarchy(2));
    EXPECT_EQ(open(g).error().kind, ErrorKind::Io);

    // Geometry claiming a 2^60-byte payload.
    Bytes g2 = header_block(0, 0);
    Bytes geo2{3};
    put_u64(geo2, 28);
    put_u64(geo2, uint64_t{1} << 60);
    put_u64(geo2, 1);
    append(geo2, {0x78, 0x9c, 0, 0});
    append(g2, geo2);
    EXPECT_EQ(open(g2).error().kind, ErrorKind::ZLibDecompress);

    // A time table of 2^40 entries.
    VcBlock b = two_signal_block(8);
    Bytes t = file_with(b, {1, 4}, 2);
    Bytes block = b.build();
    size_t count_at = header_block(0, 0).size() + block.size() - 8;
    for (int i = 0; i < 8; ++i)
        t[count_at + i] = static_cast<uint8_t>((uint64_t{1} << 40) >> (56 - 8 * i));
    EXPECT_EQ(open(t).error().kind, ErrorKind::Io);

    // A hierarchy claiming 2^60 bytes.
    Bytes h = header_block(0, 0);
    append(h, geometry_block({1}));
    Bytes hb{6};
    put_u64(hb, 18);
    put_u64(hb, uint64_t{1} << 60);
    append(hb, {0x10, 'a'});
    append(h, hb);
    auto r = open(h);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value().read_hierarchy([](FstHierarchyEntry&&) {}).error().kind,
              ErrorKind::Lz4Decompress);
}

namespace {

std::vector<FstHierarchyEntry> entries(const Bytes& raw, Status* st) {
    Bytes f = header_block(0, 0);
    append(f, geometry_block({1}));
    append(f, lz4_hierarchy_block(raw));
    auto r = open(f);
    std::vector<FstHierarchyEntry> out;
    *st = r.value().read_hierarchy([&](FstHierarchyEntry&& e) { out.push_back(std::move(e)); });
    return out;
}

Bytes attr(uint8_t kind, uint8_t subtype, const std::string& text, uint64_t arg) {
    Bytes b{252, kind, subtype};
    put_str(b, text);
    put_leb(b, arg);
    return b;
}

}  // namespace

TEST(FstHierarchy, VariablesScopesAndAliases) {
    Bytes raw = scope_entry("top");
    raw[1] = 252;
    append(raw, var_entry("w", 26, 0, 18));
    append(raw, var_entry("x", 1));
    append(raw, var_entry("y", 1, 1));
    raw.push_back(255);
    Status st = ok_status();
    auto e = entries(raw, &st);
    ASSERT_TRUE(st) << st.error().display();
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(std::get<OpenScope>(e[0]).scope_type, 252);
    auto& w = std::get<Variable>(e[1]);
    EXPECT_EQ(w.width, 8u);
    EXPECT_EQ(w.handle.value(), 1u);
    EXPECT_EQ(std::get<Variable>(e[2]).handle.value(), 2u);
    EXPECT_EQ(std::get<Variable>(e[3]).handle.value(), 1u);
    EXPECT_TRUE(std::get<Variable>(e[3]).aliased);
    EXPECT_FALSE(std::get<Variable>(e[2]).aliased);
    EXPECT_TRUE(std::holds_alternative<CloseScope>(e[4]));

    Bytes bad_scope = scope_entry("s");
    bad_scope[1] = 23;
    entries(bad_scope, &st);
    EXPECT_EQ(st.error().kind, ErrorKind::FstScopeType);
    Bytes bad_dir = var_entry("v", 1);
    bad_dir[1] = 6;
    entries(bad_dir, &st);
    EXPECT_EQ(st.error().kind, ErrorKind::FstVarDirection);
    entries(Bytes{30}, &st);
    EXPECT_EQ(st.error().kind, ErrorKind::FstVarType);
    Bytes cut = var_entry("name", 1);
    cut.resize(4);
    auto partial = entries(cut, &st);
    EXPECT_EQ(st.error().kind, ErrorKind::Io);
    EXPECT_TRUE(partial.empty());
}

TEST(FstHierarchy, Attributes) {
    Bytes raw = attr(0, 7, "state 2 IDLE BUSY 00 01", 3);
    append(raw, attr(0, 7, "", 7));
    append(raw, attr(0, 0, "note", 0));
    append(raw, attr(0, 3, "/src/a.v", 5));
    append(raw, {252, 0, 5, 0x05, 0x00, 0x2A});
    append(raw, attr(0, 2, "std_logic", (uint64_t{3} << 10) | 16));
    append(raw, attr(2, 1, "skipped enum attribute", 1));
    append(raw, attr(0, 1, "skipped environment", 1));
    raw.push_back(253);
    Status st = ok_status();
    auto e = entries(raw, &st);
    ASSERT_TRUE(st) << st.error().display();
    ASSERT_EQ(e.size(), 7u);
    auto& t = std::get<AttrEnumTable>(e[0]);
    EXPECT_EQ(t.table_name, "state");
    EXPECT_EQ(t.table_handle, 3u);
    EXPECT_EQ(t.pairs,
              (std::vector<std::pair<std::string, std::string>>{{"00", "IDLE"}, {"01", "BUSY"}}));
    EXPECT_EQ(std::get<AttrEnumTableRef>(e[1]).table_handle, 7u);
    EXPECT_EQ(std::get<AttrComment>(e[2]).text, "note");
    EXPECT_EQ(std::get<AttrPathName>(e[3]).path, "/src/a.v");
    auto& stem = std::get<AttrSourceStem>(e[4]);
    EXPECT_TRUE(stem.instance);
    EXPECT_EQ(stem.path_id, 5u);
    EXPECT_EQ(stem.line, 42u);
    auto& vhdl = std::get<AttrVhdlInfo>(e[5]);
    EXPECT_EQ(vhdl.vhdl_var_type, 3);
    EXPECT_EQ(vhdl.vhdl_data_type, 16);
    EXPECT_TRUE(std::holds_alternative<AttrEnd>(e[6]));

    entries(attr(0, 7, "state 2 IDLE BUSY 00", 3), &st);
    EXPECT_EQ(st.error().display(),
              "failed to parse an enum table string: expected 4 parts got 3\nstate 2 IDLE BUSY 00");
    entries(attr(0, 7, "state", 3), &st);
    EXPECT_EQ(st.error().text, "not enough spaces");
    entries(attr(0, 7, "state x A 0", 3), &st);
    EXPECT_EQ(st.error().kind, ErrorKind::ParseInt);
    entries(attr(0, 2, "t", uint64_t{6} << 10), &st);
    EXPECT_EQ(st.error().kind, ErrorKind::FstVhdlVarType);
    entries(attr(0, 2, "t", 17), &st);
    EXPECT_EQ(st.error().kind, ErrorKind::FstVhdlDataType);
    entries(attr(4, 0, "t", 0), &st);
    EXPECT_EQ(st.error().kind, ErrorKind::AttributeType);
    entries(attr(0, 9, "t", 0), &st);
    EXPECT_EQ(st.error().kind, ErrorKind::MiscType);
    entries(Bytes{252, 0, 4, 0x05, 0x01, 0x2A}, &st);
    EXPECT_EQ(st.error().kind, ErrorKind::InvalidData);
}

TEST(FstLoader, RepeatedTimesShareOneIndex) {
    VcBlock vc = two_signal_block(8);
    vc.times = {0, 10, 10, 20};
    vc.data = raw_signal({6, 4});
    append(vc.data, raw_signal({1, '1', 'x', '0', 'z', 6, 0xA0}));
    auto t = tarn::read_fst_bytes(file_with(vc, {1, 4}, 2));
    ASSERT_TRUE(t) << t.error();
    const tarn::Trace& tr = t.value();
    EXPECT_EQ(tr.timestamps(), (std::vector<uint64_t>{0, 10, 20}));
    EXPECT_EQ(tr.signal_names(), (std::vector<std::string>{"top.a", "top.b"}));
    EXPECT_TRUE(tr.signal_value("top.a", 0).is_missing());
    // '1' then '0' at two table entries of time 10: the later one stays.
    EXPECT_EQ(tr.signal_value("top.a", 1).as_int(), 0u);
    EXPECT_EQ(tr.signal_value("top.a", 2).as_int(), 0u);
    EXPECT_EQ(tr.signal_value("top.b", 1).as_logic(), (tarn::SignalValue::Bits{1, 2, 0, 3}));
    EXPECT_EQ(tr.signal_value("top.b", 2).as_int(), 10u);
    EXPECT_TRUE(tr.signal_value("top.b", 3).is_missing());
    EXPECT_EQ(tr.signal_width("top.b"), 4u);
}

TEST(FstLoader, ValueConversion) {
    auto conv = [](const std::string& s) {
        return tarn::fst_bytes_to_value(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(conv("1x0z").as_logic(), (tarn::SignalValue::Bits{1, 2, 0, 3}));
    EXPECT_EQ(conv("0110").as_int(), 6u);
    EXPECT_EQ(conv("hello").as_logic(), (tarn::SignalValue::Bits{2, 2, 2, 2, 2}));
    EXPECT_EQ(conv("ABC").as_str(), "ABC");
    EXPECT_EQ(conv("?").as_str(), "?");
    EXPECT_TRUE(conv("").is_missing());
    // Two-state values wider than 64 bits stay whole; leading zeros do not make a value wide.
    EXPECT_EQ(conv(std::string(6, '1') + std::string(64, '0')).as_wide(),
              (tarn::SignalValue::Words{0, 0x3F}));
    EXPECT_EQ(conv(std::string(6, '0') + std::string(64, '1')).as_int(), UINT64_MAX);
    EXPECT_EQ(conv("\xff").as_str(), "\xEF\xBF\xBD");
}

TEST(FstLoader, ErrorPrefixes) {
    auto t = tarn::read_fst_bytes(Bytes{9});
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error(), "FST open: Unexpected block type");
    VcBlock vc = two_signal_block(8);
    vc.times = {0, 10};
    auto s = tarn::read_fst_bytes(file_with(vc, {1, 4}, 2));
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error(),
              "FST signals: malformed FST data: value change beyond the section's time table");
    Bytes f = header_block(0, 0);
    append(f, geometry_block({1}));
    append(f, lz4_hierarchy_block(Bytes{30}));
    auto h = tarn::read_fst_bytes(f);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error(), "FST hierarchy: Unexpected variable type");
    auto missing = tarn::read_fst("/nonexistent/x.fst");
    EXPECT_EQ(missing.error().rfind("Failed to open /nonexistent/x.fst: ", 0), 0u);
}

TEST(FstLoader, ParallelDecodingGivesTheSequentialTrace) {
    for (const char* name : {"icarus_zlib.fst", "verilator_lz4.fst", "mixed_fastlz.fst"}) {
        std::string path = std::string(TARN_SOURCE_DIR) + "/tests/data/fst/" + name;
        std::ifstream in(path, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty()) << path;
        auto seq = tarn::read_fst_bytes(bytes, {~uint64_t{0}, {}});
        auto par = tarn::read_fst_bytes(bytes, {0, {}});
        ASSERT_TRUE(seq && par);
        const tarn::Trace& a = seq.value();
        const tarn::Trace& b = par.value();
        ASSERT_EQ(a.signal_names(), b.signal_names());
        ASSERT_EQ(a.timestamps(), b.timestamps());
        for (const auto& n : a.signal_names())
            for (uint64_t i = 0; i <= a.max_index() + 1; ++i)
                ASSERT_TRUE(a.signal_value(n, i).identical(b.signal_value(n, i))) << n << " " << i;
    }
}

TEST(FstOpen, MoreMalformedBlocks) {
    // Blackout entries that do not end at the block's end.
    Bytes f = header_block(0, 0);
    Bytes blackout{2};
    put_u64(blackout, 12);
    append(blackout, {1, 0, 5, 0});
    append(f, blackout);
    append(f, geometry_block({1}));
    append(f, hierarchy(2));
    EXPECT_EQ(open(f).error().text, "blackout entries do not end at the end of their block");

    Bytes good = header_block(0, 0);
    Bytes ok_blackout{2};
    put_u64(ok_blackout, 13);
    append(ok_blackout, {2, 0, 5, 1, 7});
    append(good, ok_blackout);
    append(good, geometry_block({1}));
    append(good, hierarchy(2));
    auto r = open(good);
    ASSERT_TRUE(r) << r.error().display();
    ASSERT_EQ(r.value().meta().blackouts.size(), 2u);
    EXPECT_FALSE(r.value().meta().blackouts[0].active);
    EXPECT_EQ(r.value().meta().blackouts[1].time, 12u);
    EXPECT_TRUE(r.value().meta().blackouts[1].active);

    // A time table claiming more compressed bytes than its section holds.
    VcBlock vc = two_signal_block(8);
    Bytes block = vc.build();
    block[block.size() - 9] = 0xFF;
    Bytes t = header_block(0, 0);
    append(t, block);
    append(t, geometry_block({1, 4}));
    append(t, hierarchy(2));
    EXPECT_EQ(open(t).error().text, "time table compressed length exceeds its section");

    // The first value-change block without time stamps.
    vc.times = {};
    EXPECT_EQ(open(file_with(vc, {1, 4}, 2)).error().text,
              "the first value-change block has an empty time table");

    // A gzip wrapper after the first block.
    Bytes late = header_block(0, 0);
    late.push_back(254);
    put_u64(late, 1);
    EXPECT_EQ(open(late).error().kind, ErrorKind::BlockType);
}

TEST(FstValueChanges, FrameLengthBeyondTheSection) {
    VcBlock vc = two_signal_block(8);
    Bytes f = file_with(vc, {1, 4}, 2);
    size_t frame_clen = header_block(0, 20).size() + 1 + 32 + 1;
    ASSERT_EQ(f[frame_clen], 5);
    f[frame_clen] = 0x7F;
    auto r = open(f);
    ASSERT_TRUE(r);
    Status st = ok_status();
    all_changes(r.value(), &st);
    EXPECT_EQ(st.error().text, "frame compressed length exceeds its section");
}

TEST(FstDecompress, ZlibAndDeflateLengthsMustMatch) {
    const std::string text = "hello hello hello";
    Bytes z(compressBound(static_cast<uLong>(text.size())));
    uLongf zlen = static_cast<uLongf>(z.size());
    compress2(z.data(), &zlen, reinterpret_cast<const Bytef*>(text.data()),
              static_cast<uLong>(text.size()), 9);
    z.resize(zlen);
    Bytes out;
    EXPECT_TRUE(zlib_decode(z, text.size(), out, false));
    EXPECT_EQ(std::string(out.begin(), out.end()), text);
    EXPECT_EQ(zlib_decode(z, text.size() - 1, out, false).error().kind, ErrorKind::ZLibDecompress);
    EXPECT_EQ(zlib_decode(z, text.size() + 1, out, false).error().kind, ErrorKind::ZLibDecompress);
    // The raw deflate data inside the zlib stream (as in a gzip member).
    Bytes raw(z.begin() + 2, z.end() - 4);
    EXPECT_TRUE(zlib_decode(raw, text.size(), out, true));
    EXPECT_FALSE(zlib_decode(raw, text.size() + 1, out, true));
    Bytes truncated(raw.begin(), raw.end() - 3);
    EXPECT_FALSE(zlib_decode(truncated, text.size(), out, true));
}

TEST(FstValueChanges, FilterSelectsSignalsAndTimes) {
    auto r = open(file_with(two_signal_block(8), {1, 4}, 2));
    ASSERT_TRUE(r);
    std::vector<Change> got;
    SignalFilter only_b;
    only_b.include = std::vector<FstSignalHandle>{FstSignalHandle::from_index(1)};
    only_b.end = 15;
    ASSERT_TRUE(
        r.value().read_signals(only_b, [&](uint64_t t, FstSignalHandle h, const ChangeValue& v) {
            got.push_back({t, h.value(), std::string(v.bytes.begin(), v.bytes.end())});
        }));
    EXPECT_EQ(got, (std::vector<Change>{{10, 2, "1x0z"}}));
    SignalFilter later;
    later.start = 21;  // after the only section
    got.clear();
    ASSERT_TRUE(
        r.value().read_signals(later, [&](uint64_t t, FstSignalHandle h, const ChangeValue&) {
            got.push_back({t, h.value(), ""});
        }));
    EXPECT_TRUE(got.empty());
}

TEST(FstLoader, ScopePathsAndNames) {
    Bytes e = scope_entry("top");
    append(e, scope_entry("a"));
    append(e, var_entry("x", 1));
    append(e, {255, 255});
    append(e, scope_entry("top"));
    append(e, scope_entry("a"));
    append(e, var_entry("y", 1, 1));  // alias of x
    append(e, var_entry("x", 1));     // repeats a name: ignored with its new handle
    append(e, {255, 255, 255});       // one more close than open
    append(e, var_entry("z", 1));
    Bytes f = header_block(0, 20);
    append(f, two_signal_block(8).build());
    append(f, geometry_block({1, 4}));
    append(f, lz4_hierarchy_block(e));
    auto t = tarn::read_fst_bytes(f);
    ASSERT_TRUE(t) << t.error();
    const tarn::Trace& tr = t.value();
    EXPECT_EQ(tr.scopes(), (std::vector<std::string>{"top", "top.a"}));
    EXPECT_EQ(tr.signal_names(), (std::vector<std::string>{"top.a.x", "top.a.y", "z"}));
    EXPECT_EQ(tr.signal_id("top.a.x"), tr.signal_id("top.a.y"));
    EXPECT_EQ(tr.signal_id("z"), std::optional<uint64_t>(1));
    EXPECT_EQ(tr.signal_value("top.a.y", 2).tag(), tarn::Tag::Logic);  // 'z' at time 20
}

TEST(FstLoader, SignalsNotKeptAreNotDecoded) {
    // b's data is shorter than its position table says: a full load fails on it, a load keeping
    // a alone never reads it.
    VcBlock vc = two_signal_block(8);
    vc.data = raw_signal({2, 35});
    append(vc.data, raw_signal({3, '1'}));
    const Bytes f = file_with(vc, {1, 4}, 2);
    auto full = tarn::read_fst_bytes(f);
    ASSERT_FALSE(full);
    EXPECT_EQ(full.error(), "FST signals: I/O operation failed");
    tarn::FstLoadOptions o;
    o.filter = tarn::NameFilter({"top.a"});
    auto part = tarn::read_fst_bytes(f, o);
    ASSERT_TRUE(part) << part.error();
    const tarn::Trace& t = part.value();
    EXPECT_EQ(t.signal_names(), std::vector<std::string>{"top.a"});
    EXPECT_EQ(t.scopes(), std::vector<std::string>{"top"});
    auto whole = tarn::read_fst_bytes(file_with(two_signal_block(8), {1, 4}, 2));
    ASSERT_TRUE(whole) << whole.error();
    for (uint64_t i = 0; i <= 3; ++i)
        EXPECT_TRUE(t.signal_value("top.a", i).identical(whole.value().signal_value("top.a", i)))
            << i;
}
