// VPD reader: the name-section test on crafted windows.
#include <gtest/gtest.h>

#include <string>

#include "trace/vpd.h"

namespace tarn {
namespace {

bool names(const std::string& s) {
    return vpd::is_name_section(scan::Bytes(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

TEST(VpdSections, NameSectionTest) {
    using namespace std::string_literals;
    EXPECT_TRUE(
        names("\x01"
              "FoldedTop\0"s));
    EXPECT_TRUE(names(" unexpected value\0"s));  // window strings may start with a space
    EXPECT_FALSE(names("expected"s));            // no NUL before the window ends
    EXPECT_FALSE(names("ex\0pected\0"s));
    EXPECT_FALSE(names("aa\0bb\0cc\0"s));  // three identifiers are not enough
    EXPECT_TRUE(names("aa\0bb\0cc\0d.e\0"s));
    EXPECT_FALSE(names("aa\0bb\0cc\0d.\0"s));  // a trailing dot is no identifier
}

}  // namespace
}  // namespace tarn
