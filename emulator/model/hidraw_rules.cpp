#include "hidraw_rules.h"

#include <algorithm>

#include "conv/hiddescriptor.h"

namespace convsim {

InputReports inputReportsOf(std::span<const std::uint8_t> descriptor) {
    using conv::hid::ReportKind;
    InputReports reports;
    const auto declared = conv::hid::parseReportDescriptor(descriptor);
    if (!declared) return reports;  // no node would exist: nothing reaches one
    reports.numbered = conv::hid::numbered(*declared, ReportKind::Input);
    for (const conv::hid::DeclaredReport& r : *declared) {
        if (r.kind != ReportKind::Input) continue;
        reports.ids.insert(r.id);
        reports.longest = std::max(reports.longest, std::size_t{(r.bits + 7) / 8} + (reports.numbered ? 1 : 0));
    }
    return reports;
}

bool reachesHidraw(const InputReports& declared, std::span<const std::uint8_t> report) {
    if (report.empty() || report.size() > declared.longest) return false;
    return declared.ids.count(declared.numbered ? report[0] : std::uint8_t{0}) != 0;
}

bool HidrawQueue::push(const std::vector<std::uint8_t>& report) {
    if (reports_.size() == kCapacity) return false;
    reports_.push_back(report);
    return true;
}

}  // namespace convsim
