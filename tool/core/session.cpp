#include "core/session.h"

#include <unistd.h>

#include <algorithm>

#include "conv/packets.h"
#include "core/messages.h"

namespace tavik {

Session::Session(hid::Transport& transport, std::FILE* out, std::FILE* err, Config config)
    : transport_(transport), out_(out), err_(err), config_(std::move(config)) {}

Session::~Session() { std::fflush(out_); }

bool Session::open(Identity identity, NotFound text) { return openAs(identity, &text); }

bool Session::openQuietly(Identity identity) { return openAs(identity, nullptr); }

bool Session::openAs(Identity identity, const NotFound* text) {
    const bool loader = identity == Identity::Loader;
    hid::OpenResult result =
        transport_.open(loader ? conv::kLoaderVid : conv::kNormalVid, loader ? conv::kLoaderPid : conv::kNormalPid);
    if (result.status == hid::OpenStatus::Opened) {
        if (device_) replaced_.push_back(std::move(device_));
        device_ = std::move(result.device);
        return true;
    }
    // Absent and refused print the same words, which the front end relies on; a refusal also
    // tells the person at the terminal why.
    if (text != nullptr) std::fprintf(out_, "%s", messages::notFoundText(*text).c_str());
    if (result.status == hid::OpenStatus::Refused) {
        std::fflush(out_);
        std::fprintf(err_, "%s\n", result.detail.c_str());
        std::fflush(err_);
    }
    return false;
}

int Session::writeReport(std::size_t length) {
    lastResult_ = device_ ? device_->write({outgoing_.data(), length}) : -1;
    return lastResult_;
}

void Session::reportWriteFailure() const {
    messages::writeFailed(out_, device_ ? device_->lastWriteFailure() : hid::WriteFailure::Gone);
}

int Session::readReply(std::size_t length, int timeoutMs) {
    std::fflush(out_);
    lastResult_ = device_ ? device_->read({reply_.data(), length}, timeoutMs) : -1;
    return lastResult_;
}

int Session::discardQueued(std::chrono::steady_clock::time_point* emptyAt) {
    ReportBuffer scratch{};
    int dropped = 0;
    while (device_ && dropped < kMaxDiscarded) {
        if (emptyAt != nullptr) *emptyAt = now();
        if (device_->discard(scratch) <= 0) break;
        ++dropped;
    }
    return dropped;
}

void Session::load(std::span<const std::uint8_t> report) {
    std::copy_n(report.begin(), std::min(report.size(), outgoing_.size()), outgoing_.begin());
}

const std::string& Session::fetchDescriptor(hid::StringKind kind) {
    if (!device_) return descriptor_;
    if (auto text = device_->getString(kind)) descriptor_ = *text;
    return descriptor_;
}

void Session::pause(unsigned microseconds) const {
    if (config_.pause) {
        config_.pause(microseconds);
    } else {
        ::usleep(microseconds);
    }
}

std::chrono::steady_clock::time_point Session::now() const {
    return config_.now ? config_.now() : std::chrono::steady_clock::now();
}

}  // namespace tavik
