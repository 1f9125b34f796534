#pragma once
// The reports a HID report descriptor declares, read as the Linux HID core reads them: Report ID,
// Report Size and Report Count (with Push and Pop) decide the size of each Input, Output and
// Feature report. No I/O: the descriptor comes from sysfs or a test.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace conv::hid {

enum class ReportKind : std::uint8_t { Input, Output, Feature };

// One declared report: ID 0 when the descriptor gives its kind no Report ID.
struct DeclaredReport {
    ReportKind kind = ReportKind::Input;
    std::uint8_t id = 0;
    std::uint32_t bits = 0;  // the fields' Report Size times Report Count, padding included
    bool operator==(const DeclaredReport&) const = default;
};

// The reports in the order first declared; nullopt for these descriptors, which the kernel refuses
// (and so makes no hidraw node for): an item cut short, a long item, an unknown global item, Report ID 0,
// Report Size over 256, Report Count over 12288, Push or Pop beyond the four-deep stack,
// collections that do not balance, a report over 16383 bytes.
std::optional<std::vector<DeclaredReport>> parseReportDescriptor(std::span<const std::uint8_t> descriptor);

// Bytes of the report of that kind and ID, without the ID byte; 0 when none is declared.
std::size_t reportBytes(const std::vector<DeclaredReport>& reports, ReportKind kind, std::uint8_t id);
// Whether reports of that kind carry their ID as byte 0.
bool numbered(const std::vector<DeclaredReport>& reports, ReportKind kind);

}  // namespace conv::hid
