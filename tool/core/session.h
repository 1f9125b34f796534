#pragma once
// One run of tavik: the device it opened last, the reports it sends and reads, and where its text
// goes.
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "hid/transport.h"

#ifndef TAVIK_REPLY_WAIT_MS
#define TAVIK_REPLY_WAIT_MS 1000
#endif

namespace tavik {

inline constexpr std::size_t kReportBufferSize = 65;
// The reports a hidraw file queues before the kernel drops new ones.
inline constexpr int kHidrawQueuedReports = 64;
// A bound on one discardQueued(), four times what a hidraw file queues: a device that reports
// faster than they are read cannot hold the run there.
inline constexpr int kMaxDiscarded = 4 * kHidrawQueuedReports;
using ReportBuffer = std::array<std::uint8_t, kReportBufferSize>;

// The converter's two USB identities, each with the words printed when it cannot be opened.
enum class Identity { Loader, Normal };

// The not-found texts the front end searches for; the normal-mode device has three spellings.
enum class NotFound {
    Loader,          // "LDROM NOT FOUND"
    Normal,          // "0E7B/1CF? NOT FOUND"
    NormalLowerF,    // "0E7B/1Cf? NOT FOUND"
    NormalAndBlank,  // "0E7B/1CF? NOT FOUND" and an empty line
};

struct Config {
    std::string aHexPath;  // the whole-file A transfer's "tarna.hex"
    std::string bHexPath;  // the whole-file B transfer's "tarn_b.hex"
    // Bound on each loader reply after the first in the one-packet A form.
    int replyWaitMs = TAVIK_REPLY_WAIT_MS;
    // Fixed pauses between reports; tests replace it so nothing sleeps.
    std::function<void(unsigned microseconds)> pause;
    // The clock a run measures its writes with; tests replace it to make a write late.
    std::function<std::chrono::steady_clock::time_point()> now;
};

class Session {
public:
    Session(hid::Transport& transport, std::FILE* out, std::FILE* err, Config config);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    std::FILE* out() const { return out_; }
    const Config& config() const { return config_; }
    hid::Transport& transport() { return transport_; }

    // Opens the identity and makes it the device the run talks to. On failure prints `text` (and,
    // when the device is present but refused us, one line on the error stream) and returns false.
    bool open(Identity identity, NotFound text);
    // As open(), but prints nothing on stdout when the device is absent.
    bool openQuietly(Identity identity);

    // Writes the first `length` bytes of the outgoing report; stores and returns the result (-1
    // without a device).
    int writeReport(std::size_t length);
    // After a failed writeReport(): the line that says why ("!! hid_write() failed: ...").
    void reportWriteFailure() const;
    // Reads one report of up to `length` bytes into the reply after flushing what was printed, so
    // a run that is stopped while waiting still shows its text. Stores and returns the result.
    int readReply(std::size_t length, int timeoutMs = hid::kBlocking);

    // Drops, unread and without waiting, the reports queued now (at most kMaxDiscarded); returns
    // how many. `emptyAt`, when given, is set to when the read that found the queue empty began.
    int discardQueued(std::chrono::steady_clock::time_point* emptyAt = nullptr);

    void pause(unsigned microseconds) const;
    std::chrono::steady_clock::time_point now() const;

    // The report the next writeReport() sends. Device commands build it in place: what a command
    // does not overwrite stays from the report before, as the converter has always seen it.
    const ReportBuffer& outgoing() const { return outgoing_; }
    // Copies `report` over the start of the outgoing report.
    void load(std::span<const std::uint8_t> report);

    // The last report read, and a way to clear it so that a short report cannot pass for one
    // holding an older report's bytes.
    const ReportBuffer& reply() const { return reply_; }
    void clearReply() { reply_.fill(0); }

    // What the last writeReport() or readReply() returned: bytes moved, 0, or -1 on failure.
    int lastResult() const { return lastResult_; }

    // Asks the open device for one of its descriptor strings and returns the one fetched last
    // (UTF-8): a failed query leaves the previous text in place.
    const std::string& fetchDescriptor(hid::StringKind kind);

    // The loader packet number the run counts with.
    std::uint32_t packetNo() const { return packetNo_; }
    void setPacketNo(std::uint32_t packetNo) { packetNo_ = packetNo; }

private:
    bool openAs(Identity identity, const NotFound* text);

    std::unique_ptr<hid::Device> device_;
    ReportBuffer outgoing_{};
    ReportBuffer reply_{};
    int lastResult_ = 0;
    std::string descriptor_;
    std::uint32_t packetNo_ = 0;

    hid::Transport& transport_;
    std::FILE* out_;
    std::FILE* err_;
    Config config_;
    // Devices replaced by a later open stay open until the run ends, as the converter expects.
    std::vector<std::unique_ptr<hid::Device>> replaced_;
};

}  // namespace tavik
