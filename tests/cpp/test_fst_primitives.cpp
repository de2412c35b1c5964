// Primitive readers, error texts, gzip headers, FastLZ and position tables of the FST reader.
#include <gtest/gtest.h>

#include "fst_reader/decompress.h"
#include "fst_reader/fastlz.h"
#include "fst_reader/input.h"
#include "fst_reader/positions.h"
#include "fst_reader/reader.h"

using namespace fst;

namespace {

using B = std::vector<uint8_t>;

Cursor cur(const std::vector<uint8_t>& b) {
    return Cursor(b);
}

}  // namespace

TEST(FstLeb128, DecodesAndRejectsOverlongNumbers) {
    std::vector<uint8_t> b{0xE5, 0x8E, 0x26, 0x7F};
    Cursor c = cur(b);
    auto v = read_variant_u32(c);
    ASSERT_TRUE(v);
    EXPECT_EQ(v.value().value, 624485u);
    EXPECT_EQ(v.value().len, 3u);
    EXPECT_EQ(read_variant_u32(c).value().value, 127u);

    std::vector<uint8_t> five{0x80, 0x80, 0x80, 0x80, 0x80};
    Cursor c5 = cur(five);
    auto bad = read_variant_u32(c5);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().display(),
              "failed to read leb128 integer, more than the expected 32 bits");

    // The fifth byte contributes from bit 28; its high bits fall off.
    std::vector<uint8_t> max{0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    Cursor cm = cur(max);
    EXPECT_EQ(read_variant_u32(cm).value().value, 0xFFFFFFFFu);

    std::vector<uint8_t> ten(9, 0x80);
    ten.push_back(0x01);
    Cursor c10 = cur(ten);
    EXPECT_EQ(read_variant_u64(c10).value().value, uint64_t{1} << 63);
    ten.back() = 0x80;
    Cursor c10b = cur(ten);
    EXPECT_EQ(read_variant_u64(c10b).error().display(),
              "failed to read leb128 integer, more than the expected 64 bits");

    std::vector<uint8_t> cut{0x80};
    Cursor cc = cur(cut);
    EXPECT_EQ(read_variant_u32(cc).error().kind, ErrorKind::Io);

    std::vector<uint8_t> neg{0x7F, 0x80, 0x7F};
    Cursor cn = cur(neg);
    EXPECT_EQ(read_variant_i64(cn).value(), -1);
    EXPECT_EQ(read_variant_i64(cn).value(), -128);
}

TEST(FstErrors, DisplayTexts) {
    EXPECT_EQ((ReaderError{ErrorKind::CStringTooLong, 4, "abcd", {}}).display(),
              "failed to read a null terminated string because it exceeds the expected size of 4 "
              "bytes.\nabcd");
    EXPECT_EQ((ReaderError{ErrorKind::EnumTableString, 0, "not enough spaces", "x"}).display(),
              "failed to parse an enum table string: not enough spaces\nx");
    EXPECT_EQ(ReaderError::io().display(), "I/O operation failed");
    EXPECT_EQ(ReaderError::plain(ErrorKind::NotFinishedCompressing).display(),
              "The FST file is still being compressed into its final GZIP wrapper.");
    EXPECT_EQ(ReaderError::code(ErrorKind::BlockType, 9).display(), "Unexpected block type");
    EXPECT_EQ(ReaderError::code(ErrorKind::MiscType, 9).display(),
              "Unexpected misc attribute type");
    EXPECT_EQ(ReaderError::plain(ErrorKind::MissingGeometry).display(),
              "The FST file is incomplete: geometry block is missing.");
    EXPECT_EQ(ReaderError::plain(ErrorKind::MissingHierarchy).display(),
              "The FST file is incomplete: hierarchy block is missing.");
    EXPECT_EQ((ReaderError{ErrorKind::GZipBody, 0, "Data", {}}).display(),
              "failed to decompress gzip stream: Data");
}

TEST(FstStrings, LimitsAndFixedFields) {
    std::vector<uint8_t> b{'a', 'b', 'c', 0, 'd', 'e', 'f', 'g'};
    Cursor c = cur(b);
    EXPECT_EQ(read_c_str(c, 4).value(), "abc");
    auto too_long = read_c_str(c, 4);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().kind, ErrorKind::CStringTooLong);
    EXPECT_EQ(too_long.error().text, "defg");
    Cursor c2 = cur(b);
    EXPECT_EQ(read_c_str(c2, 3).error().kind, ErrorKind::CStringTooLong);
    std::vector<uint8_t> unterminated{'x', 'y'};
    Cursor c3 = cur(unterminated);
    EXPECT_EQ(read_c_str(c3, 10).error().kind, ErrorKind::Io);
    std::vector<uint8_t> bad{0xFF, 0};
    Cursor c4 = cur(bad);
    EXPECT_EQ(read_c_str(c4, 10).error().kind, ErrorKind::Utf8String);

    std::vector<uint8_t> field(128, 'w');
    Cursor c5 = cur(field);
    EXPECT_EQ(read_c_str_fixed_length(c5, 128).value(), std::string(127, 'w'));
    EXPECT_TRUE(c5.at_end());
}

TEST(FstGzipHeader, ChecksMagicMethodAndFlags) {
    std::vector<uint8_t> magic{0x1f, 0x8c, 8, 0, 0, 0, 0, 0, 0, 3};
    Cursor c = cur(magic);
    EXPECT_EQ(read_gzip_header(c).error().display(),
              "failed to parse a gzip header: expected magic bytes (0x1f, 0x8b) got [1f, 8c, 8, 0, "
              "0, 0, 0, 0, 0, 3]");
    std::vector<uint8_t> method{0x1f, 0x8b, 7, 0, 0, 0, 0, 0, 0, 3};
    Cursor c2 = cur(method);
    EXPECT_EQ(read_gzip_header(c2).error().display(),
              "failed to parse a gzip header: expected deflate compression (8) got 7");
    std::vector<uint8_t> flags{0x1f, 0x8b, 8, 8, 0, 0, 0, 0, 0, 3};
    Cursor c3 = cur(flags);
    EXPECT_EQ(read_gzip_header(c3).error().display(),
              "failed to parse a gzip header: TODO currently extra flags are not supported 8");
    std::vector<uint8_t> good{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    Cursor c4 = cur(good);
    EXPECT_TRUE(read_gzip_header(c4));
}

TEST(FstFastLz, LevelOneLiteralsAndOverlappingCopies) {
    std::vector<uint8_t> in{0x02, 'a', 'b', 'c', 0x20, 0x02};
    Cursor c = cur(in);
    auto out = decompress(c, in.size(), 6);
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string(out.value().begin(), out.value().end()), "abcabc");
    // Distance 1 with length 5 repeats the last byte.
    std::vector<uint8_t> run{0x00, 'z', 0x60, 0x00};
    std::vector<uint8_t> o;
    ASSERT_TRUE(fastlz_decode(run, 6, o));
    EXPECT_EQ(std::string(o.begin(), o.end()), "zzzzzz");
    // Length from an extra byte when ctrl >> 5 is 7.
    std::vector<uint8_t> longer{0x00, 'q', 0xE0, 0x01, 0x00};
    ASSERT_TRUE(fastlz_decode(longer, 11, o));
    EXPECT_EQ(std::string(o.begin(), o.end()), std::string(11, 'q'));
}

TEST(FstFastLz, LevelTwoLongDistanceAndLengthRuns) {
    // 8200 literal bytes, then a copy 8192 + 1 back of length 3.
    std::vector<uint8_t> in;
    std::vector<uint8_t> expect;
    for (int i = 0; i < 8200; i += 32) {
        int n = std::min(32, 8200 - i);
        in.push_back(static_cast<uint8_t>(n - 1));
        for (int k = 0; k < n; ++k) {
            uint8_t v = static_cast<uint8_t>((i + k) * 7);
            in.push_back(v);
            expect.push_back(v);
        }
    }
    in[0] |= 0x20;  // level 2 marker on the first control byte
    in.insert(in.end(), {0x3F, 0xFF, 0x00, 0x01});
    size_t src = expect.size() - 8193;
    for (int k = 0; k < 3; ++k) expect.push_back(expect[src + k]);
    std::vector<uint8_t> o;
    ASSERT_TRUE(fastlz_decode(in, expect.size(), o));
    EXPECT_EQ(o, expect);

    std::vector<uint8_t> runs{0x20, 'k', 0xE0, 255, 255, 3, 0x00};
    ASSERT_TRUE(fastlz_decode(runs, 1 + 522, o));
    EXPECT_EQ(o, std::vector<uint8_t>(523, 'k'));
}

TEST(FstFastLz, RejectsCorruptStreams) {
    std::vector<uint8_t> o;
    std::vector<uint8_t> level3{0x40, 'a'};
    EXPECT_EQ(fastlz_decode(level3, 1, o).error().display(), "failed to decompress with fastlz");
    std::vector<uint8_t> before_start{0x00, 'a', 0x20, 0x05};
    EXPECT_FALSE(fastlz_decode(before_start, 4, o));
    std::vector<uint8_t> short_out{0x02, 'a', 'b', 'c'};
    EXPECT_FALSE(fastlz_decode(short_out, 4, o));
    EXPECT_FALSE(fastlz_decode(short_out, 2, o));
    std::vector<uint8_t> huge_claim{0x00, 'a'};
    EXPECT_FALSE(fastlz_decode(huge_claim, uint64_t{1} << 60, o));
    EXPECT_TRUE(fastlz_decode(B{}, 0, o));
}

TEST(FstDecompress, RawStorageAndLengthChecks) {
    std::vector<uint8_t> raw{1, 2, 3};
    Cursor c = cur(raw);
    EXPECT_EQ(read_zlib_compressed_bytes(c, 3, 3, true).value(), raw);
    Cursor c2 = cur(raw);
    EXPECT_EQ(read_zlib_compressed_bytes(c2, 3, 3, false).error().kind, ErrorKind::ZLibDecompress);
    // Packed signal data with U = 0 is raw whatever the pack type.
    std::vector<uint8_t> packed{0, 9, 8};
    std::vector<uint8_t> scratch;
    Cursor c3 = cur(packed);
    auto s = read_packed_signal_value_bytes(c3, 3, 'Z', scratch);
    ASSERT_TRUE(s);
    EXPECT_EQ(std::vector<uint8_t>(s.value().begin(), s.value().end()),
              (std::vector<uint8_t>{9, 8}));
    std::vector<uint8_t> lz{0x10, 'a'};
    std::vector<uint8_t> out;
    EXPECT_EQ(lz4_decode(lz, 2, out).error().kind, ErrorKind::Lz4Decompress);
    EXPECT_EQ(lz4_decode(lz, uint64_t{1} << 40, out).error().kind, ErrorKind::Lz4Decompress);
    EXPECT_EQ(zlib_decode(lz, uint64_t{1} << 60, out, false).error().kind,
              ErrorKind::ZLibDecompress);
}

TEST(FstPositionTable, BlockCodesOneAndFive) {
    std::vector<uint8_t> t{0x03, 0x04, 0x00, 0x01, 0x05};
    auto e = read_value_change_alias(t, 5, 10);
    ASSERT_TRUE(e);
    auto& v = e.value();
    EXPECT_EQ(v[0].kind, LocEntry::Data);
    EXPECT_EQ(v[0].offset, 1u);
    EXPECT_EQ(v[0].length, 2u);
    EXPECT_EQ(v[1].kind, LocEntry::Empty);
    EXPECT_EQ(v[2].kind, LocEntry::Empty);
    EXPECT_EQ(v[3].kind, LocEntry::Alias);
    EXPECT_EQ(v[3].alias, 0u);
    EXPECT_EQ(v[4].offset, 3u);
    EXPECT_EQ(v[4].length, 7u);

    EXPECT_FALSE(read_value_change_alias(t, 4, 10));  // entry beyond n
    EXPECT_FALSE(
        read_value_change_alias(B{0x03, 0x00, 0x02}, 2, 10));     // alias of an alias-less slot
    EXPECT_FALSE(read_value_change_alias(B{0x01}, 1, 10));        // offset 0
    EXPECT_FALSE(read_value_change_alias(B{0x03, 0x01}, 2, 10));  // length 0
    EXPECT_FALSE(read_value_change_alias(B{0x15}, 1, 10));        // offset past the data
}

TEST(FstPositionTable, BlockCodeEight) {
    std::vector<uint8_t> t{0x03, 0x7F, 0x04};
    auto e = read_value_change_alias2(t, 4, 9);
    ASSERT_TRUE(e);
    auto& v = e.value();
    EXPECT_EQ(v[0].kind, LocEntry::Data);
    EXPECT_EQ(v[0].offset, 1u);
    EXPECT_EQ(v[0].length, 8u);
    EXPECT_EQ(v[1].kind, LocEntry::Alias);
    EXPECT_EQ(v[1].alias, 0u);
    EXPECT_EQ(v[2].kind, LocEntry::Empty);
    EXPECT_EQ(v[3].kind, LocEntry::Empty);
    // h = 0 repeats the last alias target.
    auto r = read_value_change_alias2(B{0x03, 0x7F, 0x01}, 3, 9);
    ASSERT_TRUE(r);
    EXPECT_EQ(r.value()[2].kind, LocEntry::Alias);
    EXPECT_EQ(r.value()[2].alias, 0u);
    EXPECT_FALSE(read_value_change_alias2(B{0x7D}, 2, 9));  // alias of an empty entry
    EXPECT_FALSE(read_value_change_alias2(B{0x03, 0x03}, 1, 9));
}

TEST(FstChangeRecords, OneBitAndVectorForms) {
    std::vector<uint8_t> b{0x06};
    EXPECT_EQ(read_one_bit_signal_time_delta(b, 0).value(), 1u);
    const uint8_t* p = b.data();
    Record r;
    ASSERT_EQ(decode_record(p, b.data() + 1, SignalInfo(2), true, r), RecordStatus::Ok);
    EXPECT_EQ(r.ch, '1');
    std::vector<uint8_t> z{0x03};
    p = z.data();
    decode_record(p, z.data() + 1, SignalInfo(2), true, r);
    EXPECT_EQ(r.ch, 'z');
    EXPECT_EQ(r.delta, 0u);
    std::vector<uint8_t> h{0x05};
    p = h.data();
    decode_record(p, h.data() + 1, SignalInfo(2), true, r);
    EXPECT_EQ(r.ch, 'h');

    std::vector<uint8_t> vec{0x02, 0xA0};
    p = vec.data();
    ASSERT_EQ(decode_record(p, vec.data() + 2, SignalInfo(5), true, r), RecordStatus::Ok);
    std::vector<uint8_t> chars;
    expand_packed(r.bytes, 4, chars);
    EXPECT_EQ(std::string(chars.begin(), chars.end()), "1010");
    EXPECT_EQ(read_multi_bit_signal_time_delta(vec, 0).value(), 1u);

    std::vector<uint8_t> short_vec{0x03, '1'};
    p = short_vec.data();
    EXPECT_EQ(decode_record(p, short_vec.data() + 2, SignalInfo(5), true, r), RecordStatus::Eof);
    EXPECT_EQ(record_error(RecordStatus::Eof).detail, "unexpected eof");
    std::vector<uint8_t> packed_real{0x02, 0, 0, 0, 0, 0, 0, 0, 0};
    p = packed_real.data();
    EXPECT_EQ(decode_record(p, packed_real.data() + 9, SignalInfo(0), true, r),
              RecordStatus::PackedReal);
}
