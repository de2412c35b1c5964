// The byte-pattern routines shared by the heuristic readers.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "trace/limits.h"
#include "trace/scan.h"

using namespace tarn::scan;
using Strings = std::vector<std::string>;

namespace {

std::vector<uint8_t> bytes_of(std::string_view s) {
    return {s.begin(), s.end()};
}

std::vector<uint8_t> zlib_of(const std::vector<uint8_t>& raw, int level = 6) {
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> out(len);
    EXPECT_EQ(compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), level), Z_OK);
    out.resize(len);
    return out;
}

}  // namespace

TEST(Scan, StrictRule) {
    for (const char* ok : {"_abc", "top.cpu.clk", "a", "bus[3]", "x$y:z", "A_b.c9"})
        EXPECT_TRUE(accepts(ok, Rule::Strict)) << ok;
    for (const char* bad : {"", "run.log", "9abc", "a..b", "a.", ".a", "a/b", "a.9", "my simv",
                            "simv", "csrc_x", "x.daidir", "a.tcl", "w.fsdb", "a b", "a-b"})
        EXPECT_FALSE(accepts(bad, Rule::Strict)) << bad;
}

TEST(Scan, ShortRule) {
    for (const char* ok : {"ab", "ab c", "x-y.z+1", "_q"})
        EXPECT_TRUE(accepts(ok, Rule::Short)) << ok;
    for (const char* bad : {"a", "", "1ab", "a/b", "a{b", "f(x)", "a@b", "a..b", "ab.", "a.9"})
        EXPECT_FALSE(accepts(bad, Rule::Short)) << bad;
}

TEST(Scan, ExtractIdentifiersRunsAndTerminators) {
    // A NUL-ended run is a candidate; a run ended by another byte is dropped; a leading space is
    // skipped (a run starts at 0x21..0x7E); the final run without terminator ends the scan.
    std::string in("\x01top.a\0 lead\0bad\x05ok_x\0top.a\0run.log\0tail", 40);
    auto b = bytes_of(in);
    EXPECT_EQ(extract_identifiers(b, Rule::Strict), (Strings{"top.a", "lead", "ok_x", "top.a"}));
    EXPECT_EQ(extract_identifiers(b, Rule::Short),
              (Strings{"top.a", "lead", "ok_x", "top.a", "run.log"}));
    std::string spaced("ab c\0z\0", 7);
    EXPECT_EQ(extract_identifiers(bytes_of(spaced), Rule::Short), (Strings{"ab c"}));
    EXPECT_TRUE(extract_identifiers({}, Rule::Strict).empty());
}

TEST(Scan, DeriveScopes) {
    EXPECT_EQ(derive_scopes({"top.cpu.clk"}), (Strings{"top", "top.cpu"}));
    EXPECT_EQ(derive_scopes({"z.b.c", "a.x", "plain", "z.b.d", "z.a"}), (Strings{"a", "z", "z.b"}));
    EXPECT_TRUE(derive_scopes({}).empty());
    // Byte-wise order: upper case before lower case, "." before letters.
    EXPECT_EQ(derive_scopes({"b.x", "B.x", "a.b.x", "a_b.x"}),
              (Strings{"B", "a", "a.b", "a_b", "b"}));
}

TEST(Scan, DeriveScopesStaysBoundedOnDeepNames) {
    // 200,000 levels would make 20 GB of prefixes; the total is capped instead.
    std::string deep;
    for (int i = 0; i < 200000; ++i) deep += "ab.";
    deep += "x";
    auto scopes = derive_scopes({deep});
    size_t total = 0;
    for (auto& s : scopes) total += s.size();
    EXPECT_LE(total, tarn::limits::kScopeBytes);
    ASSERT_FALSE(scopes.empty());
    EXPECT_EQ(scopes[0], "ab");
    EXPECT_EQ(scopes[1], "ab.ab");
}

TEST(Scan, ZlibBoundsAndConsumedCount) {
    std::vector<uint8_t> raw(5000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(i * 7);
    auto z = zlib_of(raw);
    auto with_trailer = z;
    with_trailer.insert(with_trailer.end(), {1, 2, 3});
    auto r = try_zlib_decompress(with_trailer);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->bytes, raw);
    EXPECT_EQ(r->consumed, z.size());

    EXPECT_FALSE(try_zlib_decompress(std::vector<uint8_t>{0x78}));
    EXPECT_FALSE(try_zlib_decompress(std::vector<uint8_t>{0x12, 0x34, 0x56}));

    // A truncated stream still yields what it produced.
    auto cut = std::vector<uint8_t>(z.begin(), z.begin() + z.size() / 2);
    auto part = try_zlib_decompress(cut);
    ASSERT_TRUE(part);
    EXPECT_GT(part->bytes.size(), 0u);
    EXPECT_LT(part->bytes.size(), raw.size());
    EXPECT_TRUE(std::equal(part->bytes.begin(), part->bytes.end(), raw.begin()));

    // Larger than 1 MiB: the retry gives up to 4 MiB; larger still is cut at 4 MiB.
    std::vector<uint8_t> two(3u << 20, 'a'), six(6u << 20, 'b');
    auto r2 = try_zlib_decompress(zlib_of(two));
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->bytes.size(), two.size());
    size_t work = 0;
    auto r6 = try_zlib_decompress(zlib_of(six), &work);
    ASSERT_TRUE(r6);
    EXPECT_EQ(r6->bytes.size(), tarn::limits::kInflateRetry);
    EXPECT_EQ(work, tarn::limits::kInflateRetry);

    // A corrupted checksum is an error: absent.
    auto bad = z;
    bad.back() ^= 0xFF;
    EXPECT_FALSE(try_zlib_decompress(bad));
}

TEST(Scan, InflateCapped) {
    std::vector<uint8_t> raw(100000, 'q');
    auto z = zlib_of(raw);
    auto full = inflate_capped(z, 1 << 20);
    ASSERT_TRUE(full);
    EXPECT_EQ(*full, raw);
    auto capped = inflate_capped(z, 1000);
    ASSERT_TRUE(capped);
    EXPECT_EQ(capped->size(), 1000u);
    EXPECT_FALSE(inflate_capped(std::vector<uint8_t>(z.begin(), z.end() - 5), 1 << 20));
    EXPECT_FALSE(inflate_capped(bytes_of("not zlib"), 1 << 20));
}

TEST(Scan, ReadFileError) {
    auto r = read_file("/nonexistent-dir/x.bin");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), "Failed to read /nonexistent-dir/x.bin: No such file or directory");
}

TEST(Scan, BuilderRegistersByFirstOccurrence) {
    TraceBuilder b(tarn::TraceKind::Vpd);
    EXPECT_EQ(b.register_name("t.a"), 0u);
    EXPECT_EQ(b.register_name("t.u.b"), 1u);
    EXPECT_EQ(b.register_name("t.a"), 0u);
    b.register_names({"c", "t.a", "d"});
    EXPECT_EQ(b.names(), (Strings{"t.a", "t.u.b", "c", "d"}));
    b.set_width("t.u.b", 8);
    b.set_width(uint64_t{3}, 2);
    b.set_width("unknown", 9);
    b.derive_scopes();
    tarn::Trace t = std::move(b).finish();
    EXPECT_EQ(t.scopes(), (Strings{"t", "t.u"}));
    EXPECT_EQ(t.timestamps(), (std::vector<uint64_t>{0}));
    EXPECT_EQ(t.signal_width("t.a"), 1u);
    EXPECT_EQ(t.signal_width("t.u.b"), 8u);
    EXPECT_EQ(t.signal_width("d"), 2u);
    EXPECT_EQ(t.signal_width("unknown"), 1u);
    EXPECT_EQ(t.signal_id("c"), 2u);
    EXPECT_FALSE(t.signal_id("unknown"));
    EXPECT_TRUE(t.signal_value("t.a", 0).is_missing());
}
