// SHM reader on crafted design and transition files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "trace/limits.h"
#include "trace/readers.h"
#include "trace/shm.h"

namespace tarn {
namespace {

namespace fs = std::filesystem;
using Bytes = std::string;

void put32(Bytes& s, size_t at, uint32_t v) {
    if (s.size() < at + 4) s.resize(at + 4, '\0');
    for (int k = 0; k < 4; ++k) s[at + k] = char(v >> (24 - 8 * k));
}

Bytes magic_file(size_t size) {
    Bytes s(size, '\0');
    s[0] = char(0xA1), s[1] = char(0x95), s[2] = char(0x11), s[3] = char(0xBF);
    return s;
}

// Design file builder: records appended from offset 128.
struct Dsn {
    Bytes s = magic_file(128);
    // Appends a record; returns its offset. `link`/`str` are the a and b words.
    size_t record(uint32_t tag, uint32_t link, uint32_t str, const Bytes& body) {
        size_t at = s.size();
        put32(s, at, tag);
        put32(s, at + 4, link);
        put32(s, at + 8, str);
        s += body;
        return at;
    }
    void link(size_t at, uint32_t to) { put32(s, at + 4, to); }
    void str(size_t at, uint32_t to) { put32(s, at + 8, to); }
};

constexpr uint32_t kSignal = 0x00290700, kSignal2 = 0x00090700, kScopeDef = 0x00270501,
                   kScopeInst = 0x00070601, kMetaV2 = 0x00031102;

Bytes z(const char* text) {
    return Bytes(text) + '\0';
}

// A design file naming `n` signals s0, s1, ... in linked SIGNAL records.
Bytes names_dsn(int n) {
    Dsn d;
    size_t prev = 0;
    for (int i = 0; i < n; ++i) {
        Bytes name = std::to_string(i);
        name.insert(name.begin(), 's');
        size_t at = d.record(kSignal, 0, 0, z(name.c_str()));
        if (i) d.link(prev, uint32_t(at));
        prev = at;
    }
    return d.s;
}

struct Blk {
    uint32_t time, count;
    Bytes data;       // bytes b .. c
    Bytes tail = {};  // bytes c .. a (time code area)
};

// Transition file: 64-byte file header, the block headers, then each block's data and tail.
Bytes trn(const std::vector<Blk>& blocks, uint32_t scale_code = 0) {
    Bytes s = magic_file(64);
    put32(s, 8, scale_code);
    size_t data_at = 64 + 64 * blocks.size();
    s.resize(data_at, '\0');
    for (size_t i = 0; i < blocks.size(); ++i) {
        size_t h = 64 + 64 * i;
        s[h + 1] = 0x1B, s[h + 2] = 0x22;
        put32(s, h + 28, blocks[i].time);
        put32(s, h + 40, blocks[i].count);
        size_t b = s.size();
        s += blocks[i].data;
        size_t c = s.size();
        s += blocks[i].tail;
        put32(s, h + 48, uint32_t(s.size()));
        put32(s, h + 52, uint32_t(b));
        put32(s, h + 56, uint32_t(c));
    }
    s += Bytes(8, '\0');  // keep a < length for the last block
    return s;
}

Trace load(const Bytes& dsn, const std::vector<Bytes>& trns) {
    std::vector<std::optional<std::string_view>> t(trns.begin(), trns.end());
    Result<Trace> r = shm::build(std::string_view(dsn), t);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return std::move(r).value();
}

std::vector<uint64_t> ints(const Trace& t, const std::string& name) {
    std::vector<uint64_t> out;
    for (const SignalValue& v : t.signal_values_range(name, 0, t.num_indices())) {
        EXPECT_EQ(v.tag(), Tag::Int) << name;
        out.push_back(v.tag() == Tag::Int ? v.as_int() : 99);
    }
    return out;
}

using V = std::vector<uint64_t>;

TEST(ShmStrings, ExtractAndIdent) {
    Bytes s = Bytes(
        "\x01"
        "ab\0"
        "c\xff\0"
        "\x02xyz",
        12);
    EXPECT_EQ(shm::extract_strings(s, 0, s.size()), (std::vector<std::string>{"ab", "xyz"}));
    // The limit cuts a string; a range past the file is harmless.
    EXPECT_EQ(shm::extract_strings(s, 1, 2), (std::vector<std::string>{"a"}));
    EXPECT_TRUE(shm::extract_strings(s, 100, 1000).empty());
    EXPECT_TRUE(shm::is_ident("a(3).b[2]$_x"));
    EXPECT_TRUE(shm::is_ident("_x"));
    EXPECT_FALSE(shm::is_ident("3a"));
    EXPECT_FALSE(shm::is_ident("a-b"));
    EXPECT_FALSE(shm::is_ident(""));
    EXPECT_FALSE(shm::is_ident(std::string_view("a\0b", 3)));
}

TEST(ShmDesign, SizeAndMagic) {
    scan::TraceBuilder d(TraceKind::Shm);
    EXPECT_TRUE(shm::read_design(Bytes(100, 'x'), d).ok());
    EXPECT_EQ(d.num_names(), 0u);
    Result<bool> bad = shm::read_design(Bytes(200, '\0'), d);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), "Bad DSN magic: 0x00000000");
    Bytes s = Bytes(200, '\0');
    s[0] = char(0xDE), s[1] = char(0xAD), s[2] = char(0xbe), s[3] = 0x0f;
    EXPECT_EQ(shm::read_design(s, d).error(), "Bad DSN magic: 0xDEADBE0F");
}

TEST(ShmDesign, RecordWalk) {
    Dsn d;
    size_t r0 = d.record(kMetaV2, 0, 0, z("ignored_meta") + z("more"));
    size_t r1 = d.record(kScopeDef, 0, 0, z("top") + z("x") + z("u1"));
    size_t r2 = d.record(kSignal, 0, 0, z("clk") + z("9bad") + z("a-b") + z("data[3]"));
    size_t r4 = d.record(kScopeInst, 0, 0, z("inst"));
    size_t r5 = d.record(kSignal2, 0, 0, z("rst_n"));
    d.link(r0, uint32_t(r1));
    d.link(r1, uint32_t(r2));
    d.link(r2, uint32_t(r4));
    d.link(r4, uint32_t(r5));
    d.s += Bytes(16, '\0');
    Trace t = load(d.s, {});
    EXPECT_EQ(t.signal_names(), (std::vector<std::string>{"clk", "data[3]", "rst_n"}));
    EXPECT_EQ(t.scopes(), (std::vector<std::string>{"top", "u1", "inst"}));
    EXPECT_EQ(t.signal_width("clk"), 1u);
    EXPECT_EQ(t.timestamps(), V{0});
    EXPECT_TRUE(t.signal_value("clk", 0).is_missing());
}

TEST(ShmDesign, SharedNameTakesFirstUnregisteredIdentifier) {
    Dsn d;
    size_t r0 = d.record(kSignal, 0, 0, z("a") + z("b") + z("c"));
    // Points at "b": b is registered already, so the next identifier in 64 bytes is taken.
    size_t r1 = d.record(kSignal, 0, uint32_t(r0 + 14), Bytes(4, '\0'));
    d.link(r0, uint32_t(r1));
    d.s += Bytes(16, '\0');
    scan::TraceBuilder td(TraceKind::Shm);
    ASSERT_TRUE(shm::read_design(d.s, td).ok());
    EXPECT_EQ(td.names(), (std::vector<std::string>{"a", "b", "c"}));

    // Strings of a record of another kind, pointed at by a later SIGNAL: only the first counts.
    Dsn e;
    size_t q0 = e.record(kSignal, 0, 0, z("a"));
    size_t q1 = e.record(kMetaV2, 0, 0, z("a") + z("x1") + z("x2"));
    size_t q2 = e.record(kSignal, 0, uint32_t(q1 + 12), Bytes(4, '\0'));
    e.link(q0, uint32_t(q1));
    e.link(q1, uint32_t(q2));
    e.s += Bytes(16, '\0');
    scan::TraceBuilder te(TraceKind::Shm);
    ASSERT_TRUE(shm::read_design(e.s, te).ok());
    EXPECT_EQ(te.names(), (std::vector<std::string>{"a", "x1"}));
}

TEST(ShmDesign, WalkWithoutLinksSearchesForRecords) {
    Dsn d;
    d.s += Bytes(8, '\0');  // zero tags are skipped
    // No link: the strings end 256 bytes on, and the next record is found by a search.
    d.record(kSignal, 0, 0, z("one") + Bytes(300, '\xEE'));
    d.record(kScopeDef, 0, 0, z("scope"));
    d.s += Bytes(16, '\0');
    scan::TraceBuilder td(TraceKind::Shm);
    ASSERT_TRUE(shm::read_design(d.s, td).ok());
    EXPECT_EQ(td.names(), (std::vector<std::string>{"one"}));
    EXPECT_EQ(td.scopes(), (std::vector<std::string>{"scope"}));
}

TEST(ShmDesign, HostileLinksFinish) {
    // Self links, backward links and links past the end are ignored; the search moves on.
    Dsn d;
    size_t r0 = d.record(kSignal, 0, 0, z("a") + Bytes(2, '\0'));
    d.link(r0, uint32_t(r0));
    size_t r1 = d.record(kSignal, 0, 0xFFFFFFF0, z("b") + Bytes(2, '\0'));
    d.link(r1, uint32_t(r0));
    d.record(kSignal, 0xFFFFFFFF, 0xFFFFFFFF, z("c") + Bytes(2, '\0'));
    for (int i = 0; i < 2000; ++i) d.record(kSignal, 0, 0, Bytes(4, '\0'));
    scan::TraceBuilder td(TraceKind::Shm);
    ASSERT_TRUE(shm::read_design(d.s, td).ok());
    EXPECT_EQ(td.names(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(ShmDecode, InitialStatesTwoBit) {
    Trace t = load(names_dsn(3), {trn({{0, 1, Bytes("\x10\x08\x10")}})});
    EXPECT_EQ(t.timestamps(), V{0});
    EXPECT_EQ(ints(t, "s0"), V{1});
    EXPECT_EQ(ints(t, "s1"), V{0});
    EXPECT_EQ(ints(t, "s2"), V{1});
}

TEST(ShmDecode, InitialStatesBit6AndZeroFill) {
    Trace t = load(names_dsn(3), {trn({{0, 1, Bytes("\x40\x00", 2)}})});
    EXPECT_EQ(ints(t, "s0"), V{1});
    EXPECT_EQ(ints(t, "s1"), V{0});
    EXPECT_EQ(ints(t, "s2"), V{0});  // no event: zero fill at index 0
}

TEST(ShmDecode, ToggleFill) {
    // T = 10, three toggles at 10*k/4 = 2, 5, 7; the block time 10 closes the list.
    Trace t = load(names_dsn(2), {trn({{10, 3, Bytes("\x10\x08")}})});
    EXPECT_EQ(t.timestamps(), (V{0, 2, 5, 7, 10}));
    EXPECT_EQ(ints(t, "s0"), (V{1, 0, 1, 0, 0}));
    EXPECT_EQ(ints(t, "s1"), (V{0, 1, 0, 1, 1}));
}

TEST(ShmDecode, ScaleCodes) {
    // Scale code 5: scale 10, a block time of 1000 gives T = 10.
    Trace t = load(names_dsn(1), {trn({{1000, 1, Bytes("\x10")}}, 5)});
    EXPECT_EQ(t.timestamps(), (V{0, 5, 10}));
    EXPECT_EQ(ints(t, "s0"), (V{1, 0, 0}));
    Trace u = load(names_dsn(1), {trn({{1000, 1, Bytes("\x10")}}, 6)});
    EXPECT_EQ(u.timestamps(), (V{0, 50, 100}));
    Trace w = load(names_dsn(1), {trn({{1000, 1, Bytes("\x10")}}, 7)});
    EXPECT_EQ(w.timestamps(), (V{0, 500, 1000}));
}

TEST(ShmDecode, PackedChanges) {
    // Initial state A5 for eight signals, then two XOR masks at T/3 and 2T/3.
    Trace t = load(names_dsn(8), {trn({{30, 2, Bytes("\xA5\x80\x01\x00", 4)}})});
    EXPECT_EQ(t.timestamps(), (V{0, 10, 20, 30}));
    EXPECT_EQ(ints(t, "s0"), (V{1, 0, 0, 0}));
    EXPECT_EQ(ints(t, "s1"), (V{0, 0, 0, 0}));
    EXPECT_EQ(ints(t, "s2"), (V{1, 1, 1, 1}));
    EXPECT_EQ(ints(t, "s7"), (V{1, 1, 0, 0}));
}

TEST(ShmDecode, PackedNeedsSlackOfTwoToFour) {
    // span - count = 1: not packed, not handled; nothing but the zero fill.
    Trace t = load(names_dsn(8), {trn({{30, 3, Bytes("\xA5\x80\x01\x00", 4)}})});
    EXPECT_EQ(t.timestamps(), (V{0, 30}));
    EXPECT_EQ(ints(t, "s0"), (V{0, 0}));
}

TEST(ShmDecode, TimeCodeType13) {
    Bytes tail("\x00\x13\x40\x00\x00\x20\x00\x01\x04\x01\x8F\x00", 12);
    Trace t = load(names_dsn(1), {trn({{1000, 1, Bytes("\x10"), tail}})});
    // f = 41, r = (500 + 108 * 41) mod 127 = 102.
    EXPECT_EQ(t.timestamps(), (V{0, 102, 1000}));
    EXPECT_EQ(ints(t, "s0"), (V{1, 0, 0}));
}

TEST(ShmDecode, TimeCodeType12) {
    Bytes tail("\x00\x12\x80\x00\x00\x02\x11\x01\x81\x00\x00\x00", 12);
    Trace t = load(names_dsn(1), {trn({{5000, 1, Bytes("\x08"), tail}}, 6)});
    // f = 1093, r = (2500 + 1297 * 1093) mod 2047 = 1550, at scale 100: 155.
    EXPECT_EQ(t.timestamps(), (V{0, 155, 500}));
    EXPECT_EQ(ints(t, "s0"), (V{0, 1, 1}));
}

TEST(ShmDecode, TimeCodeTooEarlyFallsThrough) {
    // The marker at j = 4 (< 5): no time code; the block is then a plain toggle block.
    Bytes tail("\x00\x13\x40\x00\x01\x8F\x00\x00\x00\x00\x00\x00", 12);
    Trace t = load(names_dsn(1), {trn({{1000, 1, Bytes("\x10"), tail}})});
    EXPECT_EQ(t.timestamps(), (V{0, 500, 1000}));
    EXPECT_EQ(ints(t, "s0"), (V{1, 0, 0}));
}

TEST(ShmDecode, AdvanceOverUnhandledBlocks) {
    // Block 1 is not understood: base moves by remaining - blocks after = 5 - 1 = 4.
    Trace t = load(names_dsn(5), {trn({{0, 1, Bytes("\xFF\xFF")}, {0, 1, Bytes("\x10")}})});
    EXPECT_EQ(ints(t, "s3"), V{0});
    EXPECT_EQ(ints(t, "s4"), V{1});
    // An empty block moves base by one.
    Trace u = load(names_dsn(3), {trn({{0, 1, Bytes()}, {0, 1, Bytes("\x10")}})});
    EXPECT_EQ(ints(u, "s0"), V{0});
    EXPECT_EQ(ints(u, "s1"), V{1});
}

TEST(ShmDecode, SkippedTransitionFiles) {
    Bytes good = trn({{0, 1, Bytes("\x10")}});
    // No names: skipped. Short or without magic: skipped.
    Trace t = load(Bytes(), {good});
    EXPECT_TRUE(t.signal_names().empty());
    EXPECT_EQ(t.timestamps(), V{0});
    Bytes bad = good;
    bad[0] = 0;
    Trace u = load(names_dsn(1), {bad, good.substr(0, 20)});
    EXPECT_EQ(u.timestamps(), V{0});
    EXPECT_TRUE(u.signal_value("s0", 0).is_missing());
}

TEST(ShmDecode, BlocksOutsideTheFileAreDropped) {
    Bytes s = trn({{0, 1, Bytes("\x10")}, {0, 1, Bytes("\x10")}});
    put32(s, 64 + 56, 0xFFFFFFF0);   // c beyond the file
    put32(s, 128 + 48, 0xFFFFFFF0);  // a beyond the file
    Trace t = load(names_dsn(2), {s});
    EXPECT_EQ(ints(t, "s0"), V{0});
    EXPECT_EQ(ints(t, "s1"), V{0});
}

TEST(ShmDecode, HugeCountsAreCut) {
    // A change count of 2^32 - 1 over a long block time would mean billions of toggles.
    std::vector<Blk> blocks(40, Blk{0xFFFFFFFF, 0xFFFFFFFF, Bytes("\x10")});
    Bytes file = trn(blocks);
    uint64_t budget = 100000;
    auto dec = shm::decode_transitions(file, 40, &budget);
    ASSERT_TRUE(dec.has_value());
    EXPECT_LE(dec->events.size(), 100000u);
    EXPECT_EQ(budget, 0u);
    // A load allows a number of steps that follows the file's size.
    Trace t = load(names_dsn(40), {file});
    EXPECT_LE(t.num_indices(), limits::kShmSteps.for_bytes(file.size()) + 2);
    EXPECT_GT(t.num_indices(), 1000u);
}

TEST(ShmDecode, SeveralFilesMerge) {
    Bytes a = trn({{10, 1, Bytes("\x10")}});  // s0: 1 at 0, toggles to 0 at 5
    Bytes b = trn({{40, 1, Bytes("\x08\x10", 2)}});
    Trace t = load(names_dsn(2), {a, b});
    EXPECT_EQ(t.timestamps(), (V{0, 5, 10, 20, 40}));
    // The later file's time-0 state wins; the earlier file's change at 5 stays at 5.
    EXPECT_EQ(ints(t, "s0"), (V{0, 0, 0, 1, 1}));
    EXPECT_EQ(ints(t, "s1"), (V{1, 1, 1, 0, 0}));
}

// Files on disk: locating the design and transition files.
class ShmFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tarn_shm_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string put(const std::string& name, const Bytes& body) {
        std::ofstream(dir_ / name, std::ios::binary) << body;
        return (dir_ / name).string();
    }
    fs::path dir_;
};

TEST_F(ShmFiles, DirectoryDsnPathAndTrnPath) {
    put("w.dsn", names_dsn(2));
    put("w.trn", trn({{10, 1, Bytes("\x10\x08")}}));
    put("w-1.trn", trn({{40, 1, Bytes("\x10\x10")}}));
    Result<Trace> all = read_shm(dir_.string());
    ASSERT_TRUE(all.ok()) << all.error();
    EXPECT_EQ(all.value().timestamps(), (V{0, 5, 10, 20, 40}));
    Result<Trace> by_dsn = read_shm((dir_ / "w.dsn").string());
    ASSERT_TRUE(by_dsn.ok());
    EXPECT_EQ(by_dsn.value().timestamps(), (V{0, 5, 10}));
    Result<Trace> by_trn = read_shm((dir_ / "w-1.trn").string());
    ASSERT_TRUE(by_trn.ok());
    EXPECT_TRUE(by_trn.value().signal_names().empty());  // no w-1.dsn beside it
    EXPECT_EQ(by_trn.value().timestamps(), V{0});
}

TEST_F(ShmFiles, SeveralDesignFilesChooseByName) {
    put("b.dsn", names_dsn(2));
    put("a.dsn", names_dsn(1));
    Result<shm::Files> f = shm::locate(dir_.string());
    ASSERT_TRUE(f.ok());
    EXPECT_EQ(f.value().design, (dir_ / "b.dsn").string());
}

}  // namespace
}  // namespace tarn
