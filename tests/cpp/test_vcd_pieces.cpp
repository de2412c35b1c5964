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

namespace {

namespace fs = std::filesystem;

class TempFile {
  public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/tarn_pieces_XXXXXX";
        int fd = ::mkstemp(name);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path_ = name;
        std::ofstream(path_, std::ios::binary) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

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

struct Gen {
    std::mt19937_64 rng;
    explicit Gen(uint64_t seed) : rng(seed) {}
    uint64_t below(uint64_t n) { return rng() % n; }
    bool chance(double p) { return std::uniform_real_distribution<>(0, 1)(rng) < p; }

    std::string code(size_t i) {
        // One to four characters; four-character codes live in the hash map.
        std::string c;
        size_t len = 1 + i % 4;
        for (size_t k = 0; k < len; ++k) c += char('!' + (i * 7 + k * 13) % 94);
        return c;
    }

    std::string bits(size_t n, bool four_state) {
        std::string s;
        for (size_t k = 0; k < n; ++k)
            s += four_state && chance(0.2) ? "xzXZ"[below(4)] : char('0' + below(2));
        return s;
    }

    // One value-change line for code k, of any kind, sometimes padded or with odd endings.
    std::string change(const std::string& k) {
        std::string pad = chance(0.05) ? " " : "";
        std::string tail = chance(0.05) ? "\r" : chance(0.03) ? " \t" : "";
        switch (below(10)) {
            case 0:
                return pad + "x" + k + tail + "\n";
            case 1:
                return pad + "z" + k + tail + "\n";
            case 2:
            case 3:
                return pad + char('0' + below(2)) + k + tail + "\n";
            case 4:
                return pad + "r" + std::to_string(double(below(1000)) / 8) + " " + k + tail + "\n";
            case 5:
                return pad + (chance(0.5) ? "s" : "S") + "w" + std::to_string(below(5)) + " " + k +
                       tail + "\n";
            default: {
                // Up to 70 bits: values wider than 64 bits stay whole.
                size_t n = 1 + below(70);
                return pad + (chance(0.5) ? "b" : "B") + bits(n, chance(0.2)) +
                       (chance(0.03) ? "\t" : " ") + k + tail + "\n";
            }
        }
    }

    // A dump with the odd lines a split could trip over: x changes right after a time stamp,
    // rewrites within one time step, padded and tabbed lines, CRLF endings, time stamps with
    // leading blanks, comments that look like time stamps, undecodable lines and long lines. It
    // also declares a bus bit by bit and an array word by word, and writes values before the
    // first time stamp, some for a code declared only after them.
    std::string dump(size_t signals, size_t stamps, bool late_declaration) {
        std::string s = "$timescale 1ns $end\n$scope module top $end\n";
        std::vector<std::string> codes;
        for (size_t i = 0; i < signals; ++i) {
            codes.push_back(code(i));
            s += "$var wire " + std::to_string(1 + i % 9 == 1 ? 1 : 1 + i % 70) + " " +
                 codes.back() + " s" + std::to_string(i) + " $end\n";
        }
        s += "$var wire 4 " + codes[0] + " alias $end\n";  // a second name for one code
        for (size_t b = 0; b < 6; ++b) {
            codes.push_back(code(signals + b));
            s += "$var wire 1 " + codes.back() + (b == 3 ? " bus[" : " bus [") +
                 std::to_string(b == 5 ? 7 : 5 - b) + "] $end\n";  // bit 6 is never declared
        }
        for (size_t w = 0; w < 2; ++w) {
            codes.push_back(code(signals + 6 + w));
            s += "$var reg 8 " + codes.back() + " mem[" + std::to_string(w) + "] $end\n";
        }
        std::string late = code(signals + 8);
        s += "$upscope $end\n$enddefinitions $end\n$dumpvars\n";
        for (size_t c = 0; c < 20; ++c) s += change(codes[below(codes.size())]);
        s += "1" + late + "\n$scope module top $end\n$var wire 1 " + late +
             " late $end\n$upscope $end\n$end\n";
        for (size_t t = 0; t < stamps; ++t) {
            if (chance(0.05)) s += " ";
            s += "#" + std::to_string(t * 10) + (chance(0.05) ? "\r\n" : "\n");
            size_t changes = below(12);
            for (size_t c = 0; c < changes; ++c) s += change(codes[below(codes.size())]);
            if (chance(0.02)) s += "$comment\n#99999 inside a comment\n$end\n";
            if (chance(0.01)) s += "#\xff\xfe not text\n1" + codes[0] + "\n";
            if (chance(0.01)) s += "b\xc3\xa9 " + codes[1] + "\n";
            if (chance(0.005)) s += "1" + std::string(70000, 'q') + "\n";
            if (chance(0.005)) s += "#" + std::string(70000, '7') + "\n";
            if (chance(0.01)) s += "\n\n";
            if (late_declaration && t == stamps / 2)
                s += "$scope module late $end\n$var wire 1 " + codes[2] +
                     " again $end\n$upscope $end\n";
        }
        return s;
    }
};

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
