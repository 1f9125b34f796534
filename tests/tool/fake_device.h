#pragma once
// An in-memory converter: scripted replies, recorded writes, failing writes, a device that can
// vanish. A blocking read with nothing queued fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>

#include "core/dispatcher.h"

namespace tavik::test {

using Bytes = std::vector<std::uint8_t>;

struct FakeDevice {
    std::deque<Bytes> replies;
    std::vector<Bytes> writes;
    std::vector<int> readTimeouts;
    int failWrites = 0;                                      // the next N writes return -1
    hid::WriteFailure failsAs = hid::WriteFailure::Refused;  // the reason those writes give
    bool gone = false;                                       // once the replies are used up, reads and writes return -1
    std::function<void(FakeDevice&, const Bytes&)> onWrite;
    std::function<void()> onEmptyRead;               // a read that finds nothing queued
    std::map<hid::StringKind, std::string> strings;  // a missing kind fails its query
};

class FakeHandle final : public hid::Device {
public:
    explicit FakeHandle(std::shared_ptr<FakeDevice> d) : d_(std::move(d)) {}
    int write(std::span<const std::uint8_t> data) override {
        if (d_->gone || (d_->failWrites > 0 && d_->failWrites--)) return -1;
        d_->writes.emplace_back(data.begin(), data.end());
        if (d_->onWrite) d_->onWrite(*d_, d_->writes.back());
        return static_cast<int>(data.size());
    }
    hid::WriteFailure lastWriteFailure() const override { return d_->gone ? hid::WriteFailure::Gone : d_->failsAs; }
    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        d_->readTimeouts.push_back(timeoutMs);
        if (d_->replies.empty()) {
            if (d_->onEmptyRead) d_->onEmptyRead();
            if (!d_->gone && timeoutMs < 0) ADD_FAILURE() << "blocking read on a silent fake device";
            return d_->gone || timeoutMs < 0 ? -1 : 0;
        }
        const Bytes r = d_->replies.front();
        d_->replies.pop_front();
        const std::size_t n = std::min(r.size(), data.size());
        std::copy_n(r.begin(), n, data.begin());
        return static_cast<int>(n);
    }
    std::optional<std::string> getString(hid::StringKind kind) override {
        const auto it = d_->strings.find(kind);
        return it == d_->strings.end() ? std::nullopt : std::optional(it->second);
    }

private:
    std::shared_ptr<FakeDevice> d_;
};

struct FakeTransport final : hid::Transport {
    std::shared_ptr<FakeDevice> loader, normal;  // null: absent
    std::deque<hid::OpenStatus> nextOpens;       // overrides the outcome of the next opens
    std::vector<hid::DeviceInfo> listed;
    int opens = 0;

    std::vector<hid::DeviceInfo> enumerate() override { return listed; }
    hid::OpenResult open(std::uint16_t vid, std::uint16_t) override {
        ++opens;
        auto device = vid == 0x0416 ? loader : normal;
        hid::OpenResult result;
        result.status = device ? hid::OpenStatus::Opened : hid::OpenStatus::Absent;
        if (!nextOpens.empty()) result.status = nextOpens.front(), nextOpens.pop_front();
        if (result.status == hid::OpenStatus::Opened) result.device = std::make_unique<FakeHandle>(device);
        if (result.status == hid::OpenStatus::Refused) result.detail = "refused: fix the permissions";
        return result;
    }
};

// What a std::FILE* receives.
struct Capture {
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* file = open_memstream(&data, &size);
    ~Capture() { std::fclose(file), std::free(data); }
    std::string text() { return std::fflush(file), std::string(data, size); }
};

// A session over a fake transport with captured output; pauses are recorded, not slept, and the
// clock moves only when a test moves it.
struct Rig {
    FakeTransport transport;
    Capture out, err;
    std::vector<unsigned> pauses;
    std::chrono::steady_clock::time_point clock{};
    std::unique_ptr<Session> session;

    explicit Rig(std::string aHex = {}, std::string bHex = {}) {
        Config config{std::move(aHex), std::move(bHex), 1000, [this](unsigned us) { pauses.push_back(us); },
                      [this] { return clock; }};
        session = std::make_unique<Session>(transport, out.file, err.file, std::move(config));
    }
    std::shared_ptr<FakeDevice> withLoader() { return transport.loader = std::make_shared<FakeDevice>(); }
    std::shared_ptr<FakeDevice> withNormal() { return transport.normal = std::make_shared<FakeDevice>(); }
    std::string run(std::vector<std::string_view> args) {
        runCommandLine(*session, args);
        return out.text();
    }
    std::string run(std::string_view arg) { return run(std::vector<std::string_view>{arg}); }
};

inline Bytes loaderReply(std::uint32_t checksum, std::uint32_t packetNo) {
    Bytes r(64, 0);
    r[0] = checksum & 0xFF, r[1] = (checksum >> 8) & 0xFF;
    r[4] = packetNo & 0xFF, r[5] = (packetNo >> 8) & 0xFF;
    return r;
}

inline Bytes padded(Bytes b, std::size_t size) { return b.resize(size), b; }

}  // namespace tavik::test
