// Loading a VCD file in pieces on the worker pool must give the trace of one sequential pass, and
// the quick path for common value lines must agree with the general line rule.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "trace/readers.h"
#include "vcd_gen.h"

namespace {

namespace fs = std::filesystem;
using tarn::testing::Gen;
using tarn::testing::TempFile;

// Every observable answer, and the run structure too: the pieces must merge exactly as one pass.
void expect_same(const tarn::Trace& a, const tarn::Trace& b, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(a.signal_names(), b.signal_names());
    ASSERT_EQ(a.scopes(), b.scopes());
    ASSERT_EQ(a.max_index(), b.max_index());
    for (uint64_t i = 0; i <= a.max_index(); ++i) ASSERT_EQ(a.timestamp(i), b.timestamp(i));
    ASSERT_EQ(a.store().num_columns(), b.store().num_columns());
    for (size_t id = 0; id < a.store().num_columns(); ++id) {
        const tarn::Column* x = a.store().column(id);
        const tarn::Column* y = b.store().column(id);
        ASSERT_EQ(x->num_runs(), y->num_runs()) << "column " << id;
        ASSERT_EQ(x->end(), y->end()) << "column " << id;
        for (size_t r = 0; r < x->num_runs(); ++r) {
            ASSERT_EQ(x->run_start(r), y->run_start(r)) << "column " << id << " run " << r;
            ASSERT_TRUE(x->run_value(r).identical(y->run_value(r)))
                << "column " << id << " run " << r;
        }
    }
    for (const auto& name : a.signal_names()) {
        ASSERT_EQ(a.signal_width(name), b.signal_width(name));
        for (uint64_t i = 0; i <= a.max_index() + 1; ++i)
            ASSERT_TRUE(a.signal_value(name, i).identical(b.signal_value(name, i)))
                << name << " at " << i;
    }
}

tarn::Trace load(const std::string& path, size_t pieces) {
    tarn::VcdReadOptions o;
    o.pieces = pieces;
    o.min_split_bytes = 0;
    auto r = tarn::read_vcd_file(path, o);
    EXPECT_TRUE(r) << r.error();
    return std::move(r).value();
}

TEST(VcdPieces, PiecesGiveTheTraceOfOnePass) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        Gen g(seed);
        TempFile f(g.dump(40 + seed * 10, 400 + seed * 100, seed == 6));
        tarn::Trace one = load(f.path(), 1);
        for (size_t pieces : {2, 3, 5, 8, 16})
            expect_same(one, load(f.path(), pieces),
                        "seed " + std::to_string(seed) + ", " + std::to_string(pieces) + " pieces");
    }
}

TEST(VcdPieces, QuickPathAgreesWithTheGeneralRule) {
    // A leading blank sends every value line through the general rule; the answers must not
    // change.
    Gen g(42);
    std::string plain = g.dump(60, 600, false), padded;
    bool in_values = false;
    size_t pos = 0;
    while (pos < plain.size()) {
        size_t nl = plain.find('\n', pos);
        std::string line = plain.substr(pos, nl - pos + 1);
        if (line.rfind("#", 0) == 0) in_values = true;
        padded += (in_values && line[0] != '#' && line[0] != '$' ? " " : "") + line;
        pos = nl + 1;
    }
    TempFile a(plain), b(padded);
    expect_same(load(a.path(), 1), load(b.path(), 1), "padded lines");
}

std::string repeat(const std::string& s, size_t n) {
    std::string r;
    for (size_t i = 0; i < n; ++i) r += s;
    return r;
}

TEST(VcdPieces, OddShapesOfFile) {
    const std::string head = "$var wire 1 ! a $end\n#0\n", toggles = repeat("1!\n0!\n", 3000);
    const std::vector<std::string> files = {
        // The only '#' lines near the split points are no time stamps to one pass (not text), or
        // longer than the window a split point is searched in.
        head + toggles + "#\xff\xfe\n" + toggles + "1!\n#9\n",
        head + toggles + "#" + std::string(70000, '7') + "\n" + toggles + "1!\n#9\n",
        head + toggles + "1" + std::string(70000, 'q') + "\n#8\n" + toggles + "1!\n",
        "",                                                    // empty
        "$var wire 1 ! a $end\n",                              // no time stamps
        "$var wire 1 ! a $end\n#0\n1!",                        // no final newline
        "$var wire 1 ! a $end\n#0\nx!\n#1\nx!\n#2\n1!\n#3\n",  // leading x runs
        "$var wire 1 ! a $end\n#0\n1!\n#1\n0!\n1!\n#2\nx!\n1!\n#3\n1!\nx!\n#4\n",
        "1!\n$var wire 1 ! a $end\n#5\n1!\n#6\n$var wire 1 \" b $end\n1\"\n#7\n0\"\n",
        "#1\n#2\n#3\n#4\n#5\n#6\n#7\n#8\n#9\n",  // stamps only
    };
    for (size_t i = 0; i < files.size(); ++i) {
        TempFile f(files[i]);
        tarn::Trace one = load(f.path(), 1);
        for (size_t pieces : {2, 3, 7, 64})
            expect_same(one, load(f.path(), pieces),
                        "file " + std::to_string(i) + ", " + std::to_string(pieces) + " pieces");
    }
}

TEST(VcdPieces, CorpusFiles) {
    // The corpus of real dumps: TARN_CORPUS, by default beside the project.
    const char* corpus = std::getenv("TARN_CORPUS");
    fs::path dir = (corpus && *corpus ? fs::path(corpus)
                                      : fs::path(TARN_SOURCE_DIR) / ".." / "shared" / "corpus") /
                   "vcd";
    if (!fs::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    size_t seen = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().extension() != ".vcd") continue;
        ++seen;
        tarn::Trace one = load(e.path().string(), 1);
        for (size_t pieces : {2, 5})
            expect_same(one, load(e.path().string(), pieces), e.path().filename().string());
    }
    EXPECT_GT(seen, 0u);
}

}  // namespace
