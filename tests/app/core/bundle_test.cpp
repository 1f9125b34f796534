// Version text and expected checksum from the bundle path; where the parts live; time factor.
#include <gtest/gtest.h>

#include "quill/bundle.h"
#include "quill/time_scale.h"
#include "row_name.h"

using namespace quill;

namespace {
// version "": none; problem: the field the alert names ("" when the name has none).
struct Named : rowname::Row {
    const char* path;
    const char* version;
    const char* cksum;
    const char* problem = nullptr;
};
// clang-format off
const Named kNames[] = {
    {"version and checksum", "/A/Quillmere_V123_0x1a2b.app", "V 1.2.3", "2b 1a"},
    {"neither", "/A/Quillmere.app", "", "LB HB", ""},
    {"upper-case checksum", "/A/Quillmere_V1_0X1A2B.app", "V 1.", "2b 1a"},  // digits kept as the tool prints
    {"version last", "/A/Quillmere_0x1a2b_v1234.app", "v 1.2.34.app", "2b 1a"},
    {"v in the folder", "/my_vault/Quillmere_V123_0x1a2b.app", "v a.u.lt/Quillmere", "2b 1a"},
    {"first of each", "/A/Q_V1_V2_0x1111_0x2222.app", "V 1.", "11 11"},
    {"version after a placeholder", "/A/Q_Vxx_V34.app", "V 3.4..app", "LB HB", ""},
    // A lone "V" is no version; the first "0x" field decides, and a malformed one is not
    // passed over for a later one.
    {"lone V and a bad digit", "/A/Q_V_V9_0x1g2b_0x12_0xab.app", "V 9.", "LB HB", "\"0x1g2b\""},
    {"two checksum digits", "/A/Q_V9_0x12_0xabcd.app", "V 9.", "LB HB", "\"0x12\""},
    {"five checksum digits", "/A/Q_V9_0x1a2b3.app", "V 9.", "LB HB", "\"0x1a2b3.app\""},
};
// clang-format on
}  // namespace

class BundlePath : public testing::TestWithParam<Named> {};
TEST_P(BundlePath, VersionAndChecksumFromTheFields) {
    const Named& c = GetParam();
    const BundleName name = readBundleName(c.path);
    EXPECT_EQ(name.versionText.value_or(""), c.version);
    EXPECT_EQ(name.localCksum, c.cksum);
    ASSERT_EQ(name.checksumProblem.has_value(), c.problem != nullptr);
    if (c.problem) {
        const std::string& alert = name.checksumProblem->alert;
        EXPECT_NE(alert.find(c.problem), std::string::npos) << alert;
        EXPECT_NE(alert.find("0x and four hexadecimal digits"), std::string::npos);
    }
}
INSTANTIATE_TEST_SUITE_P(, BundlePath, testing::ValuesIn(kNames), rowname::ByName{});

// How the checksum text is read is followed through the final check (tests/app/core/transfer_test).
TEST(BundleName, APlaceholderVersionIsNoneAndLogged) {
    const BundleName placeholder = readBundleName("/A/Q_Vxx_0x1a2b.app");
    EXPECT_FALSE(placeholder.versionText);
    EXPECT_EQ(placeholder.logLines, (std::vector<std::string>{"/A/Q_Vxx_0x1a2b.app", "bad str 'Vxx'"}));
}

TEST(BundleLayout, InsideAndOutsideABundle) {
    const BundleLayout in = locateBundle("/o/Q_V1.app/Contents/MacOS/Quillmere");
    EXPECT_EQ(in.bundlePath, "/o/Q_V1.app");
    EXPECT_EQ(in.resourceDir, "/o/Q_V1.app/Contents/Resources");
    EXPECT_EQ(in.firmwareDir, "/o");
    const BundleLayout out = locateBundle("/o/Contents/MacOS/Quillmere");  // no .app: no bundle
    EXPECT_EQ(out.bundlePath, "/o/Contents/MacOS");
    EXPECT_EQ(out.firmwareDir, out.resourceDir);
    EXPECT_EQ(out.bundlePath, out.resourceDir);
}

// The time factor takes positive numbers, the pause scale zero too; anything else keeps 1 and is
// named in the complaint.
TEST(TimeScaleSetting, ValuesTakenAndRefused) {
    EXPECT_DOUBLE_EQ(parseTimeScale(nullptr).factor, 1.0);
    EXPECT_FALSE(parseTimeScale("").complaint);
    EXPECT_DOUBLE_EQ(parseTimeScale("0.01").factor, 0.01);
    EXPECT_TRUE(parseTimeScale("0").complaint);
    EXPECT_DOUBLE_EQ(parsePauseScale("0").factor, 0.0);
    EXPECT_FALSE(parsePauseScale("0").complaint);
    for (const char* bad : {"-0.5", "abc", "1.5x", "inf", "nan"}) {
        for (const TimeScale& scale : {parseTimeScale(bad), parsePauseScale(bad)}) {
            EXPECT_DOUBLE_EQ(scale.factor, 1.0) << bad;
            EXPECT_NE(scale.complaint.value_or("").find(bad), std::string::npos) << bad;
        }
    }
}
