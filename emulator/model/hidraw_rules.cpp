#include "hidraw_rules.h"

#include <map>

namespace convsim {

InputReports inputReportsOf(std::span<const std::uint8_t> descriptor) {
    struct Globals {
        std::uint32_t reportSize = 0;
        std::uint32_t reportCount = 0;
        std::uint8_t reportId = 0;
    };
    Globals globals;
    std::vector<Globals> pushed;
    std::map<std::uint8_t, std::uint64_t> bits;  // input bits per report ID
    InputReports reports;
    for (std::size_t at = 0; at < descriptor.size();) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {  // long item: its data size follows, never an input field
            at += 3 + (at + 1 < descriptor.size() ? descriptor[at + 1] : 0);
            continue;
        }
        const std::size_t size = (prefix & 3) == 3 ? 4 : (prefix & 3);
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size && at + 1 + i < descriptor.size(); ++i)
            value |= static_cast<std::uint32_t>(descriptor[at + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
            case 0x74:
                globals.reportSize = value;
                break;
            case 0x94:
                globals.reportCount = value;
                break;
            case 0x84:
                globals.reportId = static_cast<std::uint8_t>(value);
                reports.numbered = true;
                break;
            case 0xA4:
                pushed.push_back(globals);
                break;
            case 0xB4:
                if (!pushed.empty()) {
                    globals = pushed.back();
                    pushed.pop_back();
                }
                break;
            case 0x80:
                bits[globals.reportId] += std::uint64_t{globals.reportSize} * globals.reportCount;
                break;
            default:
                break;
        }
        at += 1 + size;
    }
    for (const auto& [id, count] : bits) {
        reports.ids.insert(id);
        const std::size_t bytes = static_cast<std::size_t>((count + 7) / 8) + (reports.numbered ? 1 : 0);
        if (bytes > reports.longest) reports.longest = bytes;
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
