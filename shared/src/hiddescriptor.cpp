#include "conv/hiddescriptor.h"

#include <algorithm>

namespace conv::hid {

namespace {

// The kernel's limits (include/linux/hid.h) and item tags (HID 1.11, 6.2.2).
constexpr std::uint32_t kMaxReportSize = 256;
constexpr std::uint32_t kMaxReportCount = 12288;  // HID_MAX_USAGES
constexpr std::size_t kGlobalStackDepth = 4;
constexpr std::uint64_t kMaxReportBits = (16384 - 1) * 8;  // HID_MAX_BUFFER_SIZE less the ID byte

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };
enum MainTag : std::uint8_t { kInput = 8, kOutput = 9, kCollection = 10, kFeature = 11, kEndCollection = 12 };
enum GlobalTag : std::uint8_t { kReportSize = 7, kReportId = 8, kReportCount = 9, kPush = 10, kPop = 11 };

struct Globals {
    std::uint32_t size = 0;
    std::uint32_t count = 0;
    std::uint8_t id = 0;
};

}  // namespace

std::optional<std::vector<DeclaredReport>> parseReportDescriptor(std::span<const std::uint8_t> descriptor) {
    std::vector<DeclaredReport> reports;
    Globals globals;
    std::vector<Globals> stack;
    std::size_t depth = 0;
    for (std::size_t at = 0; at < descriptor.size();) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) return std::nullopt;  // the kernel takes no long item
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (descriptor.size() - at - 1 < size) return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i) value |= std::uint32_t{descriptor[at + 1 + i]} << (8 * i);
        at += 1 + size;
        const std::uint8_t type = (prefix >> 2) & 3;
        const std::uint8_t tag = prefix >> 4;
        if (type == kGlobal) {
            switch (tag) {
                case kReportSize:
                    if (value > kMaxReportSize) return std::nullopt;
                    globals.size = value;
                    break;
                case kReportCount:
                    if (value > kMaxReportCount) return std::nullopt;
                    globals.count = value;
                    break;
                case kReportId:
                    if (value == 0 || value > 255) return std::nullopt;
                    globals.id = static_cast<std::uint8_t>(value);
                    break;
                case kPush:
                    if (stack.size() == kGlobalStackDepth) return std::nullopt;
                    stack.push_back(globals);
                    break;
                case kPop:
                    if (stack.empty()) return std::nullopt;
                    globals = stack.back();
                    stack.pop_back();
                    break;
                default:
                    if (tag > kPop) return std::nullopt;  // usage page, logical and physical ranges, units
                    break;
            }
        } else if (type == kMain) {
            if (tag == kCollection) {
                ++depth;
            } else if (tag == kEndCollection) {
                if (depth == 0) return std::nullopt;
                --depth;
            } else if (tag == kInput || tag == kOutput || tag == kFeature) {
                const ReportKind kind = tag == kInput    ? ReportKind::Input
                                        : tag == kOutput ? ReportKind::Output
                                                         : ReportKind::Feature;
                auto report = std::find_if(reports.begin(), reports.end(), [&](const DeclaredReport& r) {
                    return r.kind == kind && r.id == globals.id;
                });
                if (report == reports.end()) report = reports.insert(reports.end(), {kind, globals.id, 0});
                const std::uint64_t bits = std::uint64_t{report->bits} + std::uint64_t{globals.size} * globals.count;
                if (bits > kMaxReportBits) return std::nullopt;
                report->bits = static_cast<std::uint32_t>(bits);
            }
        }
    }
    if (depth != 0) return std::nullopt;
    return reports;
}

std::size_t reportBytes(const std::vector<DeclaredReport>& reports, ReportKind kind, std::uint8_t id) {
    for (const DeclaredReport& r : reports)
        if (r.kind == kind && r.id == id) return (r.bits + 7) / 8;
    return 0;
}

bool numbered(const std::vector<DeclaredReport>& reports, ReportKind kind) {
    return std::any_of(reports.begin(), reports.end(),
                       [&](const DeclaredReport& r) { return r.kind == kind && r.id != 0; });
}

}  // namespace conv::hid
