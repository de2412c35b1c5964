// Generated VCD dumps for the reader tests: temporary files, and random dumps full of the lines a
// reader could trip over.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarn::testing {

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

}  // namespace tarn::testing
