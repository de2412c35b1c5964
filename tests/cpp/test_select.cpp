// Loads that keep only some signals must show exactly the kept signals of a full load (names in
// their order, widths, the scopes holding them, every value at every index, every time stamp), in
// one pass and in pieces, also when declarations after the first time stamp rename signals or
// give a dropped code a kept name. And compressed input must decompress to its bytes exactly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>
#include <zstd.h>

#include <string>
#include <thread>
#include <vector>

#include "trace/input.h"
#include "trace/readers.h"
#include "util/glob.h"
#include "vcd_gen.h"

namespace {

using tarn::NameFilter;
using tarn::Trace;
using tarn::testing::Gen;
using tarn::testing::TempFile;

void expect_kept(const Trace& full, const Trace& part, const std::vector<std::string>& patterns,
                 const std::string& what) {
    SCOPED_TRACE(what);
    NameFilter f(patterns);
    std::vector<std::string> names;
    for (const auto& n : full.signal_names())
        if (f.keeps(n)) names.push_back(n);
    ASSERT_EQ(part.signal_names(), names);
    std::vector<std::string> scopes;
    for (const auto& s : full.scopes())
        for (const auto& n : names)
            if (n.starts_with(s + ".")) {
                scopes.push_back(s);
                break;
            }
    ASSERT_EQ(part.scopes(), scopes);
    ASSERT_EQ(part.num_indices(), full.num_indices());
    ASSERT_EQ(part.timestamps(), full.timestamps());
    for (const auto& n : names) {
        ASSERT_EQ(part.signal_width(n), full.signal_width(n)) << n;
        for (uint64_t i = 0; i <= full.max_index() + 1; ++i)
            ASSERT_TRUE(part.signal_value(n, i).identical(full.signal_value(n, i)))
                << n << " at " << i;
    }
    // Only the kept signals hold columns.
    EXPECT_LE(part.store().num_columns(), names.size());
    for (const auto& n : full.signal_names())
        if (!f.keeps(n)) {
            EXPECT_FALSE(part.signal_id(n)) << n;
        }
}

Trace load(const std::string& path, size_t pieces, const std::vector<std::string>* patterns) {
    tarn::VcdReadOptions o;
    o.pieces = pieces;
    o.min_split_bytes = 0;
    if (patterns) o.filter = NameFilter(*patterns);
    auto r = tarn::read_vcd_file(path, o);
    EXPECT_TRUE(r) << r.error();
    return std::move(r).value();
}

const std::vector<std::vector<std::string>> kPatterns = {
    {"top.s1*"},  // a scope's share by a prefix
    {"top.bus"},  // a bus dumped bit by bit, without its bits
    {"top.bus*", "top.s3"},
    {"top.mem[?]"},
    {"top.alias"},  // one code under a kept and an unkept name
    {"top.s0"},
    {"late.*"},  // named only by a declaration after the first time stamp
    {"*"},
    {},
};

TEST(Select, GeneratedDumpsInOnePassAndInPieces) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        Gen g(seed);
        TempFile f(g.dump(40 + seed * 10, 300 + seed * 100, seed >= 3));
        Trace full = load(f.path(), 1, nullptr);
        for (const auto& p : kPatterns)
            for (size_t pieces : {1, 3, 8})
                expect_kept(full, load(f.path(), pieces, &p), p,
                            "seed " + std::to_string(seed) + ", " + std::to_string(pieces) +
                                " pieces, first pattern " + (p.empty() ? "-" : p[0]));
    }
}

// Declarations after the first time stamp: a bit whose name loses its select once its bus gets a
// second bit, a kept name given to a code that was dropped, a new code under a kept name.
const std::string kLate =
    "$scope module top $end\n$var wire 1 ! x [0] $end\n$var wire 1 \" y $end\n"
    "$var wire 4 # v $end\n$upscope $end\n$enddefinitions $end\n"
    "#0\n1!\n0\"\nb1010 #\n#1\n0!\n1\"\n"
    "$scope module top $end\n$var wire 1 $ x [1] $end\n$upscope $end\n"
    "$scope module k $end\n$var wire 1 \" y2 $end\n$var wire 2 % n $end\n$upscope $end\n"
    "#2\n1$\nb11 %\n#3\n0!\n0\"\n#4\nb0 #\n";

TEST(Select, LateDeclarations) {
    auto full = tarn::parse_vcd(kLate);
    ASSERT_TRUE(full);
    ASSERT_EQ(full.value().signal_names(),
              (std::vector<std::string>{"top.x", "top.x[0]", "top.y", "top.v", "top.x[1]", "k.y2",
                                        "k.n"}));
    TempFile f(kLate);
    for (std::vector<std::string> p : {std::vector<std::string>{"top.x[0]"},
                                       {"top.x"},
                                       {"top.x[1]"},
                                       {"k.*"},
                                       {"k.n"},
                                       {"top.v"},
                                       {"*y*"}}) {
        tarn::VcdReadOptions o;
        o.filter = NameFilter(p);
        auto text = tarn::parse_vcd(kLate, o);
        ASSERT_TRUE(text) << text.error();
        expect_kept(full.value(), text.value(), p, "text, " + p[0]);
        for (size_t pieces : {1, 2})
            expect_kept(full.value(), load(f.path(), pieces, &p), p, "file, " + p[0]);
    }
}

TEST(Select, APipeCannotBeReadAgain) {
    char dir[] = "/tmp/tarn_select_XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    std::string fifo = std::string(dir) + "/dump";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto through_pipe = [&](const std::vector<std::string>& p) {
        std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << kLate; });
        tarn::VcdReadOptions o;
        o.filter = NameFilter(p);
        auto r = tarn::read_vcd_file(fifo, o);
        writer.join();
        return r;
    };
    // Kept from the header on: one pass suffices.
    auto ok = through_pipe({"top.v"});
    ASSERT_TRUE(ok) << ok.error();
    EXPECT_EQ(ok.value().signal_names(), std::vector<std::string>{"top.v"});
    // top.x[0] has that name only once x [1] is declared, after its first values were dropped.
    auto lost = through_pipe({"top.x[0]"});
    ASSERT_FALSE(lost);
    EXPECT_NE(lost.error().find("cannot be read again"), std::string::npos) << lost.error();
    std::remove(fifo.c_str());
    ::rmdir(dir);
}

TEST(Select, AFilterKeepsWhatItsPatternsMatch) {
    EXPECT_TRUE(NameFilter().keeps_all());
    EXPECT_TRUE(NameFilter().keeps("anything"));
    EXPECT_FALSE(NameFilter(std::vector<std::string>{}).keeps(""));
    NameFilter f({"top.*.clk", "a?c"});
    EXPECT_TRUE(f.keeps("top.cpu.core.clk"));  // "*" runs across dots
    EXPECT_FALSE(f.keeps("top.clk"));
    EXPECT_TRUE(f.keeps("abc"));
    EXPECT_FALSE(f.keeps("ABC"));   // case-sensitive
    EXPECT_FALSE(f.keeps("abcd"));  // anchored
}

// ---- compressed input -------------------------------------------------------------------------

std::string gzip(const std::string& data) {
    z_stream zs{};
    EXPECT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&zs, data.size()) + 64, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// With a checksum of the content, as the zstd tool writes by default.
std::string zstd(const std::string& data) {
    std::string out(ZSTD_compressBound(data.size()), '\0');
    ZSTD_CCtx* cx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cx, ZSTD_c_checksumFlag, 1);
    size_t n = ZSTD_compress2(cx, out.data(), out.size(), data.data(), data.size());
    ZSTD_freeCCtx(cx);
    EXPECT_FALSE(ZSTD_isError(n));
    out.resize(n);
    return out;
}

// Decompresses `packed` reading `step` bytes at a time; the error text when it fails.
std::string unpack(const std::string& packed, size_t step, std::string* out) {
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(packed.data()), packed.size());
    auto src = tarn::decompressing(tarn::compression_of(bytes),
                                   std::make_unique<tarn::MemorySource>(bytes));
    std::vector<uint8_t> buf(step);
    out->clear();
    for (;;) {
        ssize_t got = src->read(buf.data(), step);
        if (got < 0) return src->error();
        if (got == 0) return {};
        out->append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(got));
    }
}

TEST(Decompress, MembersFramesPaddingAndTinyReads) {
    Gen g(7);
    std::string a = g.dump(30, 200, false), b = g.dump(10, 50, false);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {gzip(a), a},
        {gzip(a) + gzip(b), a + b},             // two members in a row
        {gzip(a) + std::string(512, '\0'), a},  // zero padding after the stream
        {zstd(a) + zstd(b), a + b},             // two frames
        {gzip(std::string(3 << 20, 'z')), std::string(3 << 20, 'z')},  // long matches
    };
    for (size_t k = 0; k < cases.size(); ++k)
        for (size_t step : {1, 7, 4096, 1 << 20}) {
            if (step < 4096 && cases[k].second.size() > (1 << 20)) continue;
            std::string out;
            EXPECT_EQ(unpack(cases[k].first, step, &out), "") << k;
            EXPECT_EQ(out, cases[k].second) << "case " << k << ", step " << step;
        }
}

TEST(Decompress, TruncatedAndCorruptStreamsFail) {
    Gen g(8);
    std::string a = g.dump(30, 100, false);
    for (const std::string& packed : {gzip(a), zstd(a)}) {
        std::string out;
        // Cut anywhere before its end, a stream fails; none returns data short of the end.
        for (size_t cut = 4; cut < packed.size(); cut += 1 + packed.size() / 97)
            EXPECT_NE(unpack(packed.substr(0, cut), 4096, &out).find("ends early"),
                      std::string::npos)
                << cut;
        for (size_t at = packed.size() / 3; at < packed.size(); at += packed.size() / 5) {
            std::string bad = packed;
            bad[at] = static_cast<char>(bad[at] ^ 0x5a);
            EXPECT_NE(unpack(bad, 4096, &out), "") << at;  // corrupt data, or a failed check
        }
        EXPECT_NE(unpack(packed + "garbage", 4096, &out), "");
    }
}

TEST(Decompress, ReadAllStopsAtItsLimit) {
    std::string packed = gzip(std::string(5 << 20, '\0'));
    auto bytes = std::span(reinterpret_cast<const uint8_t*>(packed.data()), packed.size());
    auto src =
        tarn::decompressing(tarn::Compression::Gzip, std::make_unique<tarn::MemorySource>(bytes));
    auto r = tarn::read_all(*src, 1 << 20);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().find("more than 1048576 bytes"), std::string::npos) << r.error();
    auto again =
        tarn::decompressing(tarn::Compression::Gzip, std::make_unique<tarn::MemorySource>(bytes));
    auto all = tarn::read_all(*again, 5 << 20);
    ASSERT_TRUE(all) << all.error();
    EXPECT_EQ(all.value().size(), size_t(5) << 20);
}

TEST(Decompress, CompressedVcdFilesLoadAsThePlainFile) {
    Gen g(9);
    std::string text = g.dump(50, 400, true);
    TempFile plain(text), gz(gzip(text)), zs(zstd(text));
    Trace full = load(plain.path(), 1, nullptr);
    for (const std::vector<std::string>& p :
         {std::vector<std::string>{"*"}, {"late.*"}, {"top.bus"}}) {
        for (const TempFile* f : {&gz, &zs}) {
            tarn::LoadOptions o;
            o.filter = NameFilter(p);
            auto r = tarn::load_trace(f->path(), tarn::Format::Vcd, o);
            ASSERT_TRUE(r) << r.error();
            expect_kept(full, r.value(), p, f->path());
        }
    }
}

}  // namespace
