// WLF reader: length-prefixed strings and value pages on crafted bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trace/wlf.h"

namespace tarn {
namespace {

using Page = std::vector<uint8_t>;

TEST(WlfLpstr, CursorRules) {
    Page p(wlf::kPage, 0);
    const char text[] =
        "\x03"
        "abc"
        "\x02"
        "a\x01"
        "\x00"
        "\x05"
        "xy";
    std::copy(text, text + sizeof text - 1, p.begin() + 40);
    size_t cur = 40;
    EXPECT_EQ(wlf::read_lpstr(p, &cur), "abc");
    EXPECT_EQ(cur, 44u);
    EXPECT_EQ(wlf::read_lpstr(p, &cur), "");  // a control byte: cursor stays after the length
    EXPECT_EQ(cur, 45u);
    cur = 47;
    EXPECT_EQ(wlf::read_lpstr(p, &cur), "");  // length 0
    EXPECT_EQ(cur, 48u);
    p[wlf::kPage - 2] = 5;  // would end past the page
    cur = wlf::kPage - 2;
    EXPECT_EQ(wlf::read_lpstr(p, &cur), "");
    EXPECT_EQ(cur, wlf::kPage - 1);
    cur = wlf::kPage;
    EXPECT_EQ(wlf::read_lpstr(p, &cur), "");
    EXPECT_EQ(cur, wlf::kPage);
}

Page file(const std::string& names, std::vector<std::pair<uint16_t, std::string>> value_pages) {
    Page f(wlf::kPage, 0);
    f[2] = uint8_t((43 + names.size()) >> 8), f[3] = uint8_t(43 + names.size());
    std::copy(names.begin(), names.end(), f.begin() + 43);
    for (auto& [n, data] : value_pages) {
        Page p(wlf::kPage, 0);
        p[0] = p[1] = 0xFF;
        p[2] = uint8_t(n >> 8), p[3] = uint8_t(n);
        std::copy(data.begin(), data.end(), p.begin() + 16);
        std::fill(p.end() - 16, p.end(), 0x80);  // non-zero, and no id
        f.insert(f.end(), p.begin(), p.end());
    }
    return f;
}

TEST(WlfValues, PagesAndCounts) {
    const std::string names("aa\0bb\0cc\0", 9);
    // n = 6 with the data of the example: the last byte of the data is never a pair start.
    Result<Trace> r = wlf::parse(file(names, {{6, std::string("\x01\x05\xFF\x01\x07\x00", 6)}}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().timestamps(), (std::vector<uint64_t>{0, 1}));
    EXPECT_EQ(r.value().signal_value("bb", 0).as_int(), 5u);
    EXPECT_EQ(r.value().signal_value("bb", 1).as_int(), 7u);
    // n < 2 passes the page over; n past the page is cut at its end; ids >= N are skipped; the
    // index runs on across pages; a last byte of the data never starts a pair.
    std::string big(wlf::kPage - 16 - 16, '\0');
    big[0] = 0x02, big[1] = 0x09, big[2] = char(0xFF), big[3] = 0x07, big[4] = 0x02, big[5] = 0x04;
    Result<Trace> s = wlf::parse(file(names, {{1, std::string("\x01\x05", 2)},
                                              {0xFFFF, big},
                                              {3, std::string("\xFF\x01\x03", 3)},
                                              {3, std::string("\x00\x00\x01", 3)}}));
    ASSERT_TRUE(s.ok());
    const Trace& t = s.value();
    EXPECT_EQ(t.num_indices(), 3u);
    EXPECT_TRUE(t.signal_value("bb", 0).is_missing());
    EXPECT_TRUE(t.signal_value("bb", 1).is_missing());
    EXPECT_EQ(t.signal_value("bb", 2).as_int(), 3u);
    EXPECT_EQ(t.signal_value("cc", 0).as_int(), 9u);
    EXPECT_EQ(t.signal_value("cc", 1).as_int(), 4u);
    EXPECT_EQ(t.signal_value("cc", 2).as_int(), 4u);  // carried forward
}

}  // namespace
}  // namespace tarn
