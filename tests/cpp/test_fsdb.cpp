// The FSDB reader on crafted files: errors, the legacy layout, and the modern layout's section
// table, stream classification, tail scan, width table and hostile offsets.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fsdb_fixtures.h"
#include "trace/fsdb.h"
#include "trace/readers.h"

using namespace fsdb_fixtures;
using Strings = std::vector<std::string>;

namespace {

tarn::Trace load(const Bytes& file) {
    auto r = tarn::fsdb::parse(file);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return std::move(r).value();
}

Strings numbered(const std::string& prefix, int n) {
    Strings out;
    for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
    return out;
}

Bytes names_of(const Strings& list) {
    Bytes out;
    for (const auto& s : list) {
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
    }
    return out;
}

int64_t value(const tarn::Trace& t, const std::string& name, uint64_t index) {
    auto v = t.signal_value(name, index);
    return v.is_missing() ? -1 : static_cast<int64_t>(v.as_int());
}

}  // namespace

TEST(Fsdb, Errors) {
    auto small = tarn::fsdb::parse(Bytes(11, 0));
    ASSERT_FALSE(small.ok());
    EXPECT_EQ(small.error(), "FSDB file too small");
    auto magic = tarn::fsdb::parse(hex("00 00 00 00 00 11 22 33 00 00 00 00"));
    ASSERT_FALSE(magic.ok());
    EXPECT_EQ(magic.error(), "Not an FSDB file (magic=0x00112233)");
    auto upper = tarn::fsdb::parse(hex("00 00 00 00 ab cd ef 01 00 00 00 00"));
    EXPECT_EQ(upper.error(), "Not an FSDB file (magic=0xABCDEF01)");
    auto missing = tarn::read_fsdb("/nonexistent-dir/w.fsdb");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "Failed to read /nonexistent-dir/w.fsdb: No such file or directory");
}

TEST(Fsdb, Legacy) {
    auto t = load(cat({Bytes(4), hex("FD E0 99 C1"), Bytes(4)}));
    EXPECT_TRUE(t.signal_names().empty());
    EXPECT_TRUE(t.scopes().empty());
    EXPECT_EQ(t.timestamps(), std::vector<uint64_t>{0});

    // Names before offset 272 are not scanned; rejected candidates and repeats are dropped.
    Bytes file = legacy(names({"top.cpu.clk", "run.log", "9x", "top.cpu.clk", "top.b", "a..b"}));
    put(file, 100, names({"early.name"}));
    t = load(file);
    EXPECT_EQ(t.signal_names(), (Strings{"top.cpu.clk", "top.b"}));
    EXPECT_EQ(t.scopes(), (Strings{"top", "top.cpu"}));
    EXPECT_EQ(t.signal_width("top.cpu.clk"), 1u);
    EXPECT_EQ(t.signal_id("top.b"), 1u);
    EXPECT_TRUE(t.signal_value("top.b", 0).is_missing());
    EXPECT_EQ(t.timestamps(), std::vector<uint64_t>{0});

    // The scan starts at 272 even when a run began earlier.
    Bytes straddle = legacy(text("abcdefghij"), 266);
    put(straddle, 276, Bytes{0});
    EXPECT_EQ(load(straddle).signal_names(), (Strings{"ghij"}));
}

TEST(Fsdb, ModernSectionsStreamsAndWidths) {
    Strings large = numbered("top.u.s", 11);
    Strings marked = numbered("m.p", 6);
    Modern m;
    // The section holds names, but a stream at a section's offset is never classified.
    m.sections = {blob({}, hex("00 05 01 07")), names({"sec.a", "sec.b", "sec.c"})};
    m.streams = {
        names({"top.a", "top.b", "top.c", "/bin/sh"}),                      // 4 strings: small
        names({"tool.a", "tool.b", "tool.c", "./simv"}),                    // tool: ignored
        cat({hex("01 00 41 01 00 41 01 00 41 01 00 41 01 00 41 01 00 41"),  // packed: ignored
             names({"pk.a", "pk.b", "pk.c"})}),
        cat({text("8C"), Bytes{0}, names_of(marked)}),  // marked
        cat({names_of(large), names({"9bad"})}),        // 12 strings: large
        blob({}, hex("00 09 01 02")),                   // a value stream, unused with sections
    };
    // s0 C (8, two more bytes), s1 j (2), skip 4, s2 } (32), s3 x (16), s4 other (1),
    // one other byte, s5 D (8), "!" ends the walk.
    m.widths =
        hex("01 00 43 00 00 01 00 6A 02 AA BB CC 01 00 7D 01 00 78 01 00 41 05 01 00 44 00 "
            "00 21 01 00 6A");
    auto t = load(m.build());

    Strings expect = large;
    expect.insert(expect.end(), marked.begin(), marked.end());
    expect.insert(expect.end(), {"top.a", "top.b", "top.c"});
    EXPECT_EQ(t.signal_names(), expect);
    EXPECT_EQ(t.scopes(), (Strings{"m", "top", "top.u"}));
    std::vector<uint32_t> widths;
    for (const auto& n : t.signal_names()) widths.push_back(t.signal_width(n));
    std::vector<uint32_t> want(expect.size(), 1);
    want[0] = 8, want[1] = 2, want[2] = 32, want[3] = 16, want[4] = 1, want[5] = 8;
    EXPECT_EQ(widths, want);

    // Values from the section only: its pairs go to id 0, everyone else is 0 at time 0.
    EXPECT_EQ(t.timestamps(), (std::vector<uint64_t>{0, 5, 10}));
    EXPECT_EQ(value(t, "top.u.s0", 0), 0);
    EXPECT_EQ(value(t, "top.u.s0", 1), 5);
    EXPECT_EQ(value(t, "top.u.s0", 2), 7);
    EXPECT_EQ(value(t, "top.c", 2), 0);
}

TEST(Fsdb, ModernValueStreamsWithoutSections) {
    // A header word above 84 hides the tables, so the section is just one more stream, and
    // value streams are used, in file order.
    Modern m;
    m.header_word = 85;
    m.sections = {blob({}, hex("00 05"))};  // marked, no strings: (5, 5)
    m.streams = {names({"top.a", "top.b", "top.c"}),
                 blob({}, hex("00 09 01 02")),  // marked, no strings: (5, 9), (10, 2)
                 // The end mark 8 bytes before the end, no strings: four numbers, 6 bytes, then
                 // the region 03 06 cut at the end mark: (20, 6).
                 cat({hex("00 00 00 00 AA BB CC DD EE FF 03 06"), kEndMark, hex("01 02 03 04")})};
    m.widths = hex("01 00 43 00 00");
    auto t = load(m.build());
    EXPECT_EQ(t.signal_names(), (Strings{"top.a", "top.b", "top.c"}));
    EXPECT_EQ(t.signal_width("top.a"), 1u);
    EXPECT_EQ(t.timestamps(), (std::vector<uint64_t>{0, 5, 10, 20}));
    for (uint64_t i = 0; i < 4; ++i) {
        EXPECT_EQ(value(t, "top.a", i), (std::vector<int64_t>{0, 9, 2, 6})[i]);
        EXPECT_EQ(value(t, "top.b", i), 0);
    }
}

TEST(Fsdb, ShortEndStreams) {
    // Ending in 21 00 00 and short: names are counted only with at least 3 strings.
    Modern m;
    m.streams = {cat({names({"sa.x", "sa.y"}), hex("21 00 00")}),
                 cat({names({"sb.x", "sb.y", "sb.z"}), hex("21 00 00")})};
    EXPECT_EQ(load(m.build()).signal_names(), (Strings{"sb.x", "sb.y", "sb.z"}));
}

TEST(Fsdb, TailScan) {
    Modern m;
    m.streams = {names({"only", "two"})};  // too few strings: no names from streams
    Bytes file = m.build();
    Bytes tail = cat({hex("02"), names({"top", "sig_1"}), hex("01"),  // collected
                      hex("04 02"), names({"hidden"}),                // after 04: not collected
                      hex("02"), names({"Bad-name", "ok"}),           // rejected, then ok
                      hex("02"), text("x.y"), hex("05"),              // not NUL-ended
                      hex("02"), names({"last"}), text("open")});     // runs into the end
    file.resize(5000);
    put(file, 5000 - tail.size(), tail);
    auto t = load(file);
    EXPECT_EQ(t.signal_names(), (Strings{"top", "sig_1", "ok", "last"}));

    // Files of 4096 bytes or less get no tail scan.
    Bytes small = m.build();
    small.resize(4096);
    put(small, 4000, cat({hex("02"), names({"top"})}));
    EXPECT_TRUE(load(small).signal_names().empty());
}

TEST(Fsdb, WidthTableWalkEnds) {
    Modern m;
    m.streams = {names({"w.a", "w.b", "w.c"})};
    m.widths = hex("01 00 43 00");  // C with one more byte: width 8, then the walk ends
    auto t = load(m.build());
    EXPECT_EQ(t.signal_width("w.a"), 8u);
    EXPECT_EQ(t.signal_width("w.b"), 1u);

    // A corrupt table leaves every width 1.
    Modern bad;
    bad.streams = {names({"w.a", "w.b", "w.c"})};
    bad.widths = hex("01 00 43");
    Bytes file = bad.build();
    file[bad.widths_at + 4 + 2] ^= 0xFF;
    EXPECT_EQ(load(file).signal_width("w.a"), 1u);
}

TEST(Fsdb, HostileOffsets) {
    Modern m;
    m.sections = {blob({}, hex("00 05"))};
    m.streams = {names({"h.a", "h.b", "h.c"})};
    m.widths = hex("01 00 78");
    Bytes good = m.build();

    // A section size reaching past the end is cut at the file's end.
    Bytes cut = good;
    put(cut, m.table_at + 32, le32(0xFFFFFFFFu));
    auto t = load(cut);
    EXPECT_EQ(t.timestamps(), (std::vector<uint64_t>{0, 5}));

    // Offsets whose sums would wrap 32 bits: table, width table and length are absent.
    for (uint32_t bad : {0xFFFFFFF0u, 0xFFFFFFFFu, static_cast<uint32_t>(good.size())}) {
        Bytes f = good;
        put(f, 264, le32(bad));
        put(f, 272, le32(bad));
        auto r = load(f);
        EXPECT_EQ(r.signal_names(), (Strings{"h.a", "h.b", "h.c"}));
        EXPECT_EQ(r.signal_width("h.a"), 1u);
        // Without a section list the section's stream is a value stream like any other.
        EXPECT_EQ(r.timestamps(), (std::vector<uint64_t>{0, 5}));
    }
    Bytes len = good;
    put(len, m.widths_at, le32(0xFFFFFFFFu));
    EXPECT_EQ(load(len).signal_width("h.a"), 1u);

    // A section count larger than the file: entries stop at the file's end; an offset at or
    // beyond the end is not retained.
    Bytes count = good;
    put(count, m.table_at + 22, hex("FF FF"));
    put(count, m.table_at + 24 + 12, cat({le32(0xFFFFFFF0u), le32(0), le32(16)}));
    EXPECT_EQ(load(count).timestamps(), (std::vector<uint64_t>{0, 5}));
}

// tests/data/fsdb holds files the Python tests' builder wrote (make_fsdb.py there). This builder
// gives the same bytes for the same description, so the two builders cannot drift apart.
TEST(Fsdb, BuilderAgreesWithThePythonBuilder) {
    auto read = [](const std::string& name) {
        std::ifstream f(std::string(TARN_SOURCE_DIR) + "/tests/data/fsdb/" + name,
                        std::ios::binary);
        EXPECT_TRUE(f.is_open()) << name;
        return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(legacy(names({"top.cpu.clk", "run.log", "9x", "top.b"})), read("legacy.fsdb"));

    Modern m;
    m.sections = {blob(hex("00 00 00 02"), hex("00 05 01 07 02 09")),
                  blob({}, hex("01 05"), hex("0A 90 05 C1 21 00 00 0B 0C")),
                  names({"sec.a", "sec.b", "sec.c"})};
    m.streams = {names({"top.a", "top.b", "top.c", "/bin/sh"}), names_of(numbered("top.u.s", 11))};
    m.widths = hex("01 00 43 00 00 01 00 6A");
    EXPECT_EQ(m.build(), read("modern.fsdb"));

    Modern s;
    s.header_word = 85;
    s.streams = {names({"top.a", "top.b", "top.c"}), blob({}, hex("00 09 01 02"))};
    s.widths = hex("01 00 43 00 00");
    s.min_size = 5000;
    EXPECT_EQ(s.build(), read("modern_streams.fsdb"));
}
