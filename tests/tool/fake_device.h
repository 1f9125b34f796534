#pragma once
// An in-memory converter for tavik's tests: scripted replies, recorded writes, write failures
// on demand, and a device that can vanish. Nothing blocks: a blocking read with nothing queued
// is a test fault and fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "core/dispatcher.h"
#include "core/session.h"
#include "hid/transport.h"

namespace tavik::test {

using Bytes = std::vector<std::uint8_t>;

struct FakeDevice {
    std::deque<Bytes> replies;
    std::vector<Bytes> writes;
    std::vector<int> readTimeouts;
    int failWrites = 0;  // the next N writes return -1
    bool gone = false;   // reads and writes return -1
    std::function<void(FakeDevice&, const Bytes&)> onWrite;  // answers a written report
    std::map<hid::StringKind, std::string> strings;           // missing: the query fails
};

class FakeHandle final : public hid::Device {
public:
    explicit FakeHandle(std::shared_ptr<FakeDevice> d) : d_(std::move(d)) {}
    int write(std::span<const std::uint8_t> data) override {
        if (d_->gone) return -1;
        if (d_->failWrites > 0) return --d_->failWrites, -1;
        d_->writes.emplace_back(data.begin(), data.end());
        if (d_->onWrite) d_->onWrite(*d_, d_->writes.back());
        return static_cast<int>(data.size());
    }
    int read(std::span<std::uint8_t> data, int timeoutMs) override {
        d_->readTimeouts.push_back(timeoutMs);
        if (!d_->replies.empty()) {
            const Bytes r = d_->replies.front();
            d_->replies.pop_front();
            const std::size_t n = std::min(r.size(), data.size());
            std::copy_n(r.begin(), n, data.begin());
            return static_cast<int>(n);
        }
        if (d_->gone) return -1;
        if (timeoutMs >= 0) return 0;
        ADD_FAILURE() << "blocking read on a silent fake device";
        return -1;
    }
    std::optional<std::string> getString(hid::StringKind kind) override {
        auto it = d_->strings.find(kind);
        if (it == d_->strings.end()) return std::nullopt;
        return it->second;
    }

private:
    std::shared_ptr<FakeDevice> d_;
};

class FakeTransport final : public hid::Transport {
public:
    std::shared_ptr<FakeDevice> loader;  // null: absent
    std::shared_ptr<FakeDevice> normal;
    std::deque<hid::OpenStatus> nextOpens;  // overrides the outcome of the next opens
    std::vector<hid::DeviceInfo> listed;
    int opens = 0;

    std::vector<hid::DeviceInfo> enumerate() override { return listed; }
    hid::OpenResult open(std::uint16_t vid, std::uint16_t) override {
        ++opens;
        auto device = vid == 0x0416 ? loader : normal;
        hid::OpenResult result;
        result.status = device ? hid::OpenStatus::Opened : hid::OpenStatus::Absent;
        if (!nextOpens.empty()) {
            result.status = nextOpens.front();
            nextOpens.pop_front();
        }
        if (result.status == hid::OpenStatus::Opened) result.device = std::make_unique<FakeHandle>(device);
        if (result.status == hid::OpenStatus::Refused) result.detail = "refused: fix the permissions";
        return result;
    }
};

// Collects what a std::FILE* receives.
class Capture {
public:
    Capture() : file_(open_memstream(&data_, &size_)) {}
    ~Capture() {
        std::fclose(file_);
        std::free(data_);
    }
    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return {data_, size_};
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

// A fake transport, captured output and a session over them; pauses are recorded, not slept.
struct Rig {
    FakeTransport transport;
    Capture out, err;
    std::vector<unsigned> pauses;
    std::unique_ptr<Session> session;

    Rig(std::string aHex = {}, std::string bHex = {}) {
        Config config{std::move(aHex), std::move(bHex), 1000, [this](unsigned us) { pauses.push_back(us); }};
        session = std::make_unique<Session>(transport, out.file(), err.file(), std::move(config));
    }
    std::shared_ptr<FakeDevice> withLoader() { return transport.loader = std::make_shared<FakeDevice>(); }
    std::shared_ptr<FakeDevice> withNormal() { return transport.normal = std::make_shared<FakeDevice>(); }
    std::string run(std::vector<std::string_view> args) {
        runCommandLine(*session, args);
        return out.text();
    }
    std::string run(std::string_view arg) { return run(std::vector<std::string_view>{arg}); }
};

// A loader reply: checksum in bytes 0..1, packet number in bytes 4..7.
inline Bytes loaderReply(std::uint32_t checksum, std::uint32_t packetNo) {
    Bytes r(64, 0);
    r[0] = checksum & 0xFF;
    r[1] = (checksum >> 8) & 0xFF;
    r[4] = packetNo & 0xFF;
    r[5] = (packetNo >> 8) & 0xFF;
    return r;
}

}  // namespace tavik::test
