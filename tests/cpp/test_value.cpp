#include <gtest/gtest.h>

#include <cmath>

#include "signal/value.h"
#include "util/text.h"

using tarn::SignalValue;
using tarn::Tag;

TEST(Value, ParseBinaryStr) {
    EXPECT_TRUE(tarn::parse_binary_str("").is_missing());
    EXPECT_TRUE(tarn::parse_binary_str("b").is_missing());
    EXPECT_EQ(tarn::parse_binary_str("B101").as_int(), 5u);
    EXPECT_EQ(tarn::parse_binary_str("10x1").as_logic(), (SignalValue::Bits{1, 0, 2, 1}));
    EXPECT_EQ(tarn::parse_binary_str("1z").as_logic(), (SignalValue::Bits{1, 3}));
    EXPECT_EQ(tarn::parse_binary_str("12").as_int(), 2u);
    EXPECT_EQ(tarn::parse_binary_str(std::string(65, '1')).as_int(), UINT64_MAX);
    // A multi-byte character is one bit, as any other character.
    EXPECT_EQ(tarn::parse_binary_str("1\xc3\xa9x").as_logic(), (SignalValue::Bits{1, 2, 2}));
}

TEST(Value, ToU64) {
    using tarn::to_u64;
    EXPECT_EQ(to_u64(SignalValue::make_logic({0, 1, 1})), 3u);
    EXPECT_FALSE(to_u64(SignalValue::make_logic({1, 2})));
    EXPECT_EQ(to_u64(SignalValue::make_str("+42")), 42u);
    EXPECT_FALSE(to_u64(SignalValue::make_str("-1")));
    EXPECT_FALSE(to_u64(SignalValue::make_str("+")));
    EXPECT_FALSE(to_u64(SignalValue::make_str("")));
    EXPECT_FALSE(to_u64(SignalValue::make_str("18446744073709551616")));
    EXPECT_EQ(to_u64(SignalValue::make_real(-3.5)), 0u);
    EXPECT_EQ(to_u64(SignalValue::make_real(3.9)), 3u);
    EXPECT_EQ(to_u64(SignalValue::make_real(NAN)), 0u);
    EXPECT_EQ(to_u64(SignalValue::make_real(1e30)), UINT64_MAX);
    EXPECT_FALSE(to_u64(SignalValue::make_wide({})));
    EXPECT_EQ(to_u64(SignalValue::make_wide({7, 9})), 7u);
    EXPECT_FALSE(to_u64(SignalValue::missing()));
    SignalValue::Bits seventy(70, 0);
    seventy[0] = 1;  // beyond bit 63: dropped
    seventy[69] = 1;
    EXPECT_EQ(to_u64(SignalValue::make_logic(seventy)), 1u);
}

TEST(Text, Numbers) {
    using namespace tarn::text;
    EXPECT_EQ(parse_u64("+12"), 12u);
    EXPECT_FALSE(parse_u64("-1"));
    EXPECT_FALSE(parse_u64("1.5"));
    EXPECT_FALSE(parse_u64("18446744073709551616"));
    EXPECT_EQ(parse_u64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(parse_f64("2.5"), 2.5);
    EXPECT_EQ(parse_f64("-1e3"), -1000.0);
    EXPECT_EQ(parse_f64("1."), 1.0);
    EXPECT_EQ(parse_f64(".5"), 0.5);
    EXPECT_TRUE(std::isinf(*parse_f64("INFINITY")));
    EXPECT_TRUE(std::isnan(*parse_f64("nan")));
    EXPECT_TRUE(std::isinf(*parse_f64("1e999")));
    EXPECT_EQ(parse_f64("1e-999"), 0.0);
    for (const char* bad : {"abc", "", ".", "1e", "0x10", " 1", "1 ", "nan(1)", "+-1"})
        EXPECT_FALSE(parse_f64(bad)) << bad;
}

TEST(Text, WhiteSpace) {
    using namespace tarn::text;
    EXPECT_EQ(trim("\xc2\xa0 a b\t\xe3\x80\x80"), "a b");  // NBSP and ideographic space
    std::string_view parts[3];
    EXPECT_EQ(split_ws("$scope\xe2\x80\x83module  top", parts, 3), 3u);
    EXPECT_EQ(parts[2], "top");
    EXPECT_TRUE(is_utf8("plain \xc3\xa9"));
    EXPECT_FALSE(is_utf8("\xff"));
    EXPECT_FALSE(is_utf8("\xed\xa0\x80"));      // a surrogate
    EXPECT_FALSE(is_utf8("\xc0\xaf"));          // an overlong "/"
    EXPECT_FALSE(is_utf8("\xf4\x90\x80\x80"));  // beyond U+10FFFF
    EXPECT_FALSE(is_utf8("\xe2\x82"));          // cut short
}

TEST(Text, LossyUtf8) {
    using tarn::text::utf8_lossy;
    const std::string bad = "\xef\xbf\xbd";  // U+FFFD
    EXPECT_EQ(utf8_lossy("plain \xc3\xa9"), "plain \xc3\xa9");
    // A bad lead byte and the continuation bytes after it become one U+FFFD.
    EXPECT_EQ(utf8_lossy(std::string("a\xff\x80\x80") + "b"), "a" + bad + "b");
    EXPECT_EQ(utf8_lossy(std::string("\xed\xa0\x80") + "x"), bad + "x");
    EXPECT_EQ(utf8_lossy("end\xe2\x82"), "end" + bad);
}
