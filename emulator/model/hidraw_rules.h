#pragma once
// What the Linux kernel does with a HID device's reports on their way to a hidraw file, free of
// I/O so it can be checked on its own: which input reports reach the file at all, and how many
// wait in each open file's queue.
#include <cstdint>
#include <deque>
#include <set>
#include <span>
#include <vector>

namespace convsim {

// The input reports a report descriptor declares.
struct InputReports {
    bool numbered = false;       // input reports carry a Report ID: byte 0 of every report is its ID
    std::set<std::uint8_t> ids;  // the declared input report IDs (0 alone when unnumbered)
    std::size_t longest = 0;     // bytes of the longest input report, its ID byte included
};
InputReports inputReportsOf(std::span<const std::uint8_t> descriptor);

// Whether a report the device sends reaches the hidraw files: the USB HID driver reads the
// interrupt-IN endpoint in transfers of the longest input report (a longer one overflows and is
// lost), and the HID core drops an empty report or one whose ID the descriptor does not declare.
bool reachesHidraw(const InputReports& declared, std::span<const std::uint8_t> report);

// One open file's reports: a ring of 64 slots that keeps one free, so 63 wait at most; a report
// that finds it full is dropped, and those already waiting stay.
class HidrawQueue {
public:
    static constexpr std::size_t kCapacity = 63;
    // False when the queue is full and `report` was dropped.
    bool push(const std::vector<std::uint8_t>& report);
    bool empty() const { return reports_.empty(); }
    std::size_t size() const { return reports_.size(); }
    const std::vector<std::uint8_t>& front() const { return reports_.front(); }
    void pop() { reports_.pop_front(); }

private:
    std::deque<std::vector<std::uint8_t>> reports_;
};

// The USB core's limit for the interrupt-OUT transfer behind a hidraw write: a device that keeps
// NAKing it makes the write fail with ETIMEDOUT after this long.
inline constexpr std::int64_t kOutTransferTimeoutUs = 5'000'000;

}  // namespace convsim
