// The reports a HID report descriptor declares, and which interface of a converter carries its reports.
#include <gtest/gtest.h>

#include "conv/hiddescriptor.h"
#include "conv/packets.h"
#include "row_name.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using conv::hid::DeclaredReport;
using enum conv::hid::ReportKind;

// One vendor application collection of byte-wide fields around `items`.
Bytes vendor(const Bytes& items) {
    Bytes d{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08};
    for (const std::uint8_t b : items) d.push_back(b);
    d.push_back(0xC0);
    return d;
}
// The converter in normal mode: 31 bytes as report 1 in and report 5 out.
const Bytes kNormal = vendor({0x85, 0x01, 0x95, 0x1F, 0x81, 0x02, 0x85, 0x05, 0x95, 0x1F, 0x91, 0x02});
// Its loader: 64 bytes each way, no Report ID.
const Bytes kLoader = vendor({0x95, 0x40, 0x81, 0x02, 0x91, 0x02});
// A gamepad interface beside it: input report 1 only (two axes, eight buttons, padding).
const Bytes kGamepad = {0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02,
                        0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x75, 0x08, 0x95, 0x1D, 0x81, 0x03, 0xC0};

struct Parsed : rowname::Row {
    Bytes descriptor;
    std::optional<std::vector<DeclaredReport>> reports;  // nullopt: refused
};

std::vector<Parsed> parsed() {
    using R = std::vector<DeclaredReport>;
    return {
        {{"normal mode"}, kNormal, R{{Input, 1, 248}, {Output, 5, 248}}},
        {{"loader"}, kLoader, R{{Input, 0, 512}, {Output, 0, 512}}},
        {{"fields add up with padding"}, kGamepad, R{{Input, 1, 256}}},
        {{"feature apart from input"},
         vendor({0x95, 0x04, 0x81, 0x02, 0xB1, 0x02, 0x81, 0x02}),
         R{{Input, 0, 64}, {Feature, 0, 32}}},
        {{"pop restores id and size"},
         vendor({0x85, 0x02, 0x95, 0x01, 0xA4, 0x85, 0x03, 0x75, 0x10, 0x81, 0x02, 0xB4, 0x81, 0x02}),
         R{{Input, 3, 16}, {Input, 2, 8}}},
        {{"four byte item value"}, vendor({0x97, 0x03, 0x00, 0x00, 0x00, 0x91, 0x02}), R{{Output, 0, 24}}},
        {{"long item"}, vendor({0xFE, 0x01, 0x10, 0x00}), std::nullopt},
        {{"item cut short"}, {0x06, 0x00}, std::nullopt},
        {{"report id 0"}, vendor({0x85, 0x00, 0x81, 0x02}), std::nullopt},
        {{"report size over 256"}, vendor({0x76, 0x01, 0x01, 0x81, 0x02}), std::nullopt},
        {{"report count over 12288"}, vendor({0x96, 0x01, 0x30, 0x81, 0x02}), std::nullopt},
        {{"report over 16383 bytes"}, vendor({0x76, 0x00, 0x01, 0x96, 0x00, 0x30, 0x81, 0x02}), std::nullopt},
        {{"push beyond four"}, vendor({0xA4, 0xA4, 0xA4, 0xA4, 0xA4}), std::nullopt},
        {{"pop of nothing"}, vendor({0xB4}), std::nullopt},
        {{"unknown global item"}, vendor({0xC5, 0x00}), std::nullopt},
        {{"collection left open"}, {0xA1, 0x01, 0x95, 0x01, 0x81, 0x02}, std::nullopt},
        {{"end without collection"}, {0xC0}, std::nullopt},
    };
}

class DescriptorReports : public testing::TestWithParam<Parsed> {};
TEST_P(DescriptorReports, AsTheKernelReadsThem) {
    EXPECT_EQ(conv::hid::parseReportDescriptor(GetParam().descriptor), GetParam().reports);
}
INSTANTIATE_TEST_SUITE_P(, DescriptorReports, testing::ValuesIn(parsed()), rowname::ByName{});

struct Interface : rowname::Row {
    Bytes descriptor;
    std::uint16_t vid, pid;
    bool carries;
};

std::vector<Interface> interfaces() {
    const Bytes shortFrames = vendor({0x85, 0x01, 0x95, 0x1F, 0x81, 0x02, 0x85, 0x05, 0x95, 0x08, 0x91, 0x02});
    const Bytes numberedLoader = vendor({0x85, 0x01, 0x95, 0x40, 0x81, 0x02, 0x91, 0x02});
    const Bytes keyboard = vendor({0x95, 0x08, 0x81, 0x02, 0x91, 0x02});
    return {
        {{"frames in normal mode"}, kNormal, conv::kNormalVid, conv::kNormalPid, true},
        {{"gamepad beside them"}, kGamepad, conv::kNormalVid, conv::kNormalPid, false},
        {{"output report 5 too short"}, shortFrames, conv::kNormalVid, conv::kNormalPid, false},
        {{"refused descriptor"}, Bytes{0x06, 0x00}, conv::kNormalVid, conv::kNormalPid, false},
        {{"loader packets"}, kLoader, conv::kLoaderVid, conv::kLoaderPid, true},
        {{"loader reports numbered"}, numberedLoader, conv::kLoaderVid, conv::kLoaderPid, false},
        {{"loader reports of 8 bytes"}, keyboard, conv::kLoaderVid, conv::kLoaderPid, false},
        {{"normal mode descriptor for the loader"}, kNormal, conv::kLoaderVid, conv::kLoaderPid, false},
        {{"another device"}, kGamepad, 0x046d, 0xc31c, true},
    };
}

class ConverterInterface : public testing::TestWithParam<Interface> {};
TEST_P(ConverterInterface, IsTheOneThatCarriesItsReports) {
    const Interface& c = GetParam();
    EXPECT_EQ(conv::carriesConverterReports(c.descriptor, c.vid, c.pid), c.carries);
}
INSTANTIATE_TEST_SUITE_P(, ConverterInterface, testing::ValuesIn(interfaces()), rowname::ByName{});

}  // namespace
