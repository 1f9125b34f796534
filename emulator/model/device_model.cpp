#include "device_model.h"

#include <algorithm>
#include <utility>

#include "conv/checksum.h"
#include "conv/hexfield.h"
#include "conv/packets.h"

namespace convsim {

namespace {
constexpr std::size_t kFrameSize = conv::kFrameReportSize;
constexpr std::size_t kEchoLagCycle = 3;  // B line k's echo follows (k - 1) % 3 status reports
constexpr std::size_t kShortReport = 4;
constexpr std::uint8_t kLongFiller = 0xEE;
// Periodic reports owed when convsim itself was held up (a loaded machine), at most. A device
// sends in real time and owes nothing: a backlog sent at once would reach the host after a write
// it made meanwhile, ahead of that write's answer, which no real converter does. Reports the host
// leaves unread pile up in its own queue (the socket, the node's file), not here.
constexpr int kMaxCatchUpReports = 1;
constexpr std::uint8_t kStatusKind = 1;

std::uint32_t le32(const std::uint8_t* at) {
    return at[0] | (std::uint32_t{at[1]} << 8) | (std::uint32_t{at[2]} << 16) | (std::uint32_t{at[3]} << 24);
}
void putLe16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}
void putLe32(std::uint8_t* at, std::uint32_t value) {
    putLe16(at, value);
    putLe16(at + 2, value >> 16);
}
std::string hex4(std::uint32_t v) {
    return conv::hexByte(static_cast<std::uint8_t>(v >> 8)) + conv::hexByte(static_cast<std::uint8_t>(v));
}
// The first 1 ms frame boundary strictly after `t`.
Micros nextFrame(Micros t) { return (t / kUsbFrame + 1) * kUsbFrame; }
}  // namespace

std::string_view identityName(Identity identity) {
    switch (identity) {
        case Identity::Normal:
            return "normal mode (0e7b:0bf2)";
        case Identity::Loader:
            return "loader (0416:a316)";
        case Identity::None:
            break;
    }
    return "no device";
}
std::uint16_t vendorId(Identity identity) {
    return identity == Identity::Loader ? conv::kLoaderVid : identity == Identity::Normal ? conv::kNormalVid : 0;
}
std::uint16_t productId(Identity identity) {
    return identity == Identity::Loader ? conv::kLoaderPid : identity == Identity::Normal ? conv::kNormalPid : 0;
}

DeviceModel::DeviceModel(ModelConfig config, FlashState flash, Micros now)
    : config_(std::move(config)), flash_(std::move(flash)), now_(now) {
    if (config_.modeCode.empty()) config_.modeCode = std::string(conv::modeCode());
    if (config_.faults.slowReenumMs) config_.reenumDelay = *config_.faults.slowReenumMs * 1000;
    // A converter powers up into its application when the region holds a whole image.
    identity_ = flash_.app.complete() ? Identity::Normal : Identity::Loader;
    if (config_.faults.absent) identity_ = Identity::None;
    nextStatusAt_ = now + (config_.faults.flood ? kFloodPeriod : config_.reportPeriod);
    lastDue_ = now;
}

std::vector<Event> DeviceModel::takeEvents() { return std::exchange(events_, {}); }

void DeviceModel::note(std::string text) {
    Event e;
    e.kind = Event::Kind::Note;
    e.identity = identity_;
    e.text = std::move(text);
    events_.push_back(std::move(e));
}

// Told to leave (start A, run application, power lost): the device stops at once and drops off
// the bus now or, under slow-leave, that much later, still enumerated and taking nothing meanwhile.
void DeviceModel::leave(Identity comesBack, const std::string& why) {
    queue_.clear();  // reports not yet on the bus leave with the device
    updateMode_ = false;
    pending_.clear();
    burning_.clear();  // power gone mid-burn: nothing written
    burnDoneAt_.reset();
    transferActive_ = false;
    leavingTo_ = comesBack;
    leavingWhy_ = why;
    if (!config_.faults.slowLeaveMs) {
        dropOff(now_);
        return;
    }
    leaveAt_ = now_ + *config_.faults.slowLeaveMs * 1000;
    note(std::string(identityName(identity_)) + " is told to leave (" + why + "); it drops off the bus in " +
         std::to_string(*config_.faults.slowLeaveMs) + " ms");
}

void DeviceModel::dropOff(Micros at) {
    Event left;
    left.kind = Event::Kind::Left;
    left.identity = identity_;
    events_.push_back(left);
    note(std::string(identityName(identity_)) + " leaves (" + leavingWhy_ + "); " +
         std::string(identityName(leavingTo_)) + " appears in " + std::to_string(config_.reenumDelay / 1000) + " ms");
    identity_ = Identity::None;
    arriving_ = leavingTo_;
    arriveAt_ = at + config_.reenumDelay;
    leaveAt_.reset();
}

void DeviceModel::bootAfterPowerLoss(const std::string& why) {
    leave(flash_.app.complete() ? Identity::Normal : Identity::Loader, why);
}

bool DeviceModel::open(Identity wanted) {
    // Between two A packets: the run for packet N finds the loader gone.
    if (config_.faults.unplugBefore && identity_ == Identity::Loader && transferActive_ &&
        aPacketsSeen_ + 1 == *config_.faults.unplugBefore) {
        config_.faults.unplugBefore.reset();
        bootAfterPowerLoss("fault unplug-before@" + std::to_string(aPacketsSeen_ + 1));
    }
    return wanted != Identity::None && wanted == identity_;
}

std::optional<Micros> DeviceModel::nextDeadline() const {
    std::optional<Micros> next;
    auto consider = [&](Micros t) { next = next ? std::min(*next, t) : t; };
    if (leaveAt_) consider(*leaveAt_);
    if (arriving_ != Identity::None) consider(arriveAt_);
    if (burnDoneAt_) consider(*burnDoneAt_);
    if (reporting()) consider(nextStatusAt_);
    if (!queue_.empty()) consider(queue_.front().due);
    return next;
}

void DeviceModel::advance(Micros now) {
    now_ = std::max(now_, now);
    if (leaveAt_ && now_ >= *leaveAt_) dropOff(*leaveAt_);
    if (arriving_ != Identity::None && now_ >= arriveAt_) {
        identity_ = std::exchange(arriving_, Identity::None);
        lastReplyNo_ = 0;
        transferActive_ = false;
        lastDue_ = arriveAt_;
        nextStatusAt_ = arriveAt_ + (config_.faults.flood ? kFloodPeriod : config_.reportPeriod);
        Event arrived;
        arrived.kind = Event::Kind::Arrived;
        arrived.identity = identity_;
        events_.push_back(arrived);
    }
    if (burnDoneAt_ && now_ >= *burnDoneAt_) finishBurn();

    if (reporting()) {
        const Micros period = config_.faults.flood ? kFloodPeriod : config_.reportPeriod;
        if (now_ - nextStatusAt_ > kMaxCatchUpReports * period) nextStatusAt_ = now_ - kMaxCatchUpReports * period;
        while (nextStatusAt_ <= now_) {
            send(statusReport(), nextStatusAt_);
            nextStatusAt_ += period;
        }
    }
    while (!queue_.empty() && queue_.front().due <= now_) {
        Event input;
        input.kind = Event::Kind::Input;
        input.identity = identity_;
        input.bytes = std::move(queue_.front().bytes);
        events_.push_back(std::move(input));
        queue_.pop_front();
    }
}

void DeviceModel::send(std::vector<std::uint8_t> report, Micros earliest) {
    Micros due = earliest;
    if (config_.fullSpeed) {
        // One report per interrupt-IN frame, never before the next frame starts.
        due = std::max(nextFrame(earliest), lastDue_ + kUsbFrame);
        lastDue_ = due;
    }
    queue_.push_back({due, applyOutputFaults(std::move(report))});
}

// When a report the host writes now reaches the device: on a full-speed bus the interrupt OUT
// transfer goes in the next 1 ms frame, so every exchange costs a frame each way.
Micros DeviceModel::outFrame() const { return config_.fullSpeed ? nextFrame(now_) : now_; }

std::uint8_t DeviceModel::nextRandom() {
    random_ ^= random_ << 13;
    random_ ^= random_ >> 7;
    random_ ^= random_ << 17;
    return static_cast<std::uint8_t>(random_ >> 24);
}

std::vector<std::uint8_t> DeviceModel::applyOutputFaults(std::vector<std::uint8_t> report) {
    const Faults& f = config_.faults;
    if (f.garbageReplies)
        for (auto& b : report) b = nextRandom();
    if (f.shortReplies && report.size() > kShortReport) report.resize(kShortReport);
    if (f.longReplies) report.resize(report.size() * 2, kLongFiller);
    return report;
}

void DeviceModel::write(std::span<const std::uint8_t> report, Micros now) {
    advance(now);
    if (leaveAt_) {
        note("write of " + std::to_string(report.size()) + " bytes while " + std::string(identityName(identity_)) +
             " is leaving: dropped");
        return;
    }
    switch (identity_) {
        case Identity::Loader:
            loaderWrite(report);
            break;
        case Identity::Normal:
            normalWrite(report);
            break;
        case Identity::None:
            note("write of " + std::to_string(report.size()) + " bytes while no device is present: dropped");
            break;
    }
    advance(now);
}

// ---- loader ---------------------------------------------------------------------------------

void DeviceModel::reply(const Packet& packet, std::uint32_t number, LoaderResult result, Micros work) {
    std::vector<std::uint8_t> out(conv::kLoaderPacketSize, 0);
    std::uint32_t sum = conv::checkSum(packet) & 0xFFFF;
    // A refused packet is answered with a checksum that cannot match, so the host sees the failure.
    if (result != LoaderResult::Ok) sum = ~sum & 0xFFFF;
    putLe16(&out[conv::loader::kReplyChecksum], sum);
    out[2] = static_cast<std::uint8_t>(result);
    putLe32(&out[conv::loader::kReplyPacketNo], number);
    if (flash_.app.complete()) putLe16(&out[conv::loader::kReplyTotal], flash_.app.total16());
    send(std::move(out), config_.fullSpeed ? outFrame() + work : now_);
}

void DeviceModel::refuse(const Packet& packet, std::uint32_t number, LoaderResult result, const std::string& why) {
    note("loader refuses packet " + std::to_string(number) + ": " + why);
    reply(packet, number + 1, result);
}

void DeviceModel::takeImageBytes(const Packet& packet, std::size_t offset, std::size_t available) {
    AppImage& app = flash_.app;
    const std::size_t take = std::min<std::size_t>(available, app.declaredTotal - app.bytes.size());
    app.bytes.insert(app.bytes.end(), packet.begin() + static_cast<std::ptrdiff_t>(offset),
                     packet.begin() + static_cast<std::ptrdiff_t>(offset + take));
    if (take > 0) ++flashRevision_;
    if (take > 0 && app.complete()) {
        note("A image complete: " + std::to_string(app.bytes.size()) + " bytes, total 0x" + hex4(app.total16()));
    }
}

void DeviceModel::loaderWrite(std::span<const std::uint8_t> report) {
    if (config_.faults.silentLoader) {
        if (!std::exchange(silentNoted_, true)) note("fault silent-loader: the loader ignores every packet");
        return;
    }
    if (report.size() != conv::kLoaderReportSize || report[0] != 0) {
        note("loader drops a write of " + std::to_string(report.size()) + " bytes (wants 65 bytes, report number 0)");
        return;
    }
    Packet packet{};
    std::copy(report.begin() + 1, report.end(), packet.begin());
    const std::uint32_t command = le32(&packet[conv::loader::kCommand]);
    const std::uint32_t number = le32(&packet[conv::loader::kPacketNo]);
    const bool isData = command == conv::loader::kCmdUpdateAprom || command == 0;

    if (isData) {
        ++aPacketsSeen_;
        if (config_.faults.unplug == aPacketsSeen_) {
            bootAfterPowerLoss("fault unplug@" + std::to_string(aPacketsSeen_));
            return;
        }
        if (config_.faults.badAck == aPacketsSeen_) {
            packet.back() ^= 0x01;  // taken as if a bit flipped on the way in
            note("fault bad-ack@" + std::to_string(aPacketsSeen_) + ": packet " + std::to_string(number) +
                 " is taken with a flipped bit");
        }
    }
    const std::uint32_t expected = lastReplyNo_ + 1;
    switch (command) {
        case conv::loader::kCmdSync:
            lastReplyNo_ = number + 1;
            transferActive_ = false;
            reply(packet, lastReplyNo_, LoaderResult::Ok);
            return;
        case conv::loader::kCmdStatus:
            // Answers with the number of its last reply: the host's next packet carries one more.
            reply(packet, lastReplyNo_, LoaderResult::Ok);
            return;
        case conv::loader::kCmdRunAprom:
            if (number != expected) {
                note("loader ignores run application with packet number " + std::to_string(number) + " (expected " +
                     std::to_string(expected) + ")");
            } else if (!flash_.app.complete()) {
                note("loader stays: run application without a complete image");
            } else {
                leave(config_.faults.noReturn ? Identity::None : Identity::Normal,
                      config_.faults.noReturn ? "run application, fault no-return" : "run application");
            }
            return;
        case conv::loader::kCmdUpdateAprom: {
            if (number != expected) {
                refuse(packet, number, LoaderResult::WrongNumber, "expected number " + std::to_string(expected));
                return;
            }
            const std::uint32_t start = le32(&packet[conv::loader::kStartAddress]);
            const std::uint32_t total = le32(&packet[conv::loader::kTotal]);
            if (start != 0) {
                refuse(packet, number, LoaderResult::BadAddress, "start address " + std::to_string(start));
                return;
            }
            if (total == 0 || total > config_.appRegionBytes) {
                refuse(packet, number, LoaderResult::BadTotal,
                       "image of " + std::to_string(total) + " bytes does not fit the " +
                           std::to_string(config_.appRegionBytes) + "-byte application region");
                return;
            }
            // The first packet erases the region: from here on no complete image is held.
            flash_.app = AppImage{total, {}};
            ++flashRevision_;
            transferActive_ = true;
            lastReplyNo_ = number + 1;
            note("A transfer starts: " + std::to_string(total) + " bytes");
            takeImageBytes(packet, conv::loader::kFirstImage, conv::loader::kFirstImageBytes);
            reply(packet, lastReplyNo_, LoaderResult::Ok, kPacketProgram);
            return;
        }
        case 0:
            if (number != expected) {
                refuse(packet, number, LoaderResult::WrongNumber, "expected number " + std::to_string(expected));
                return;
            }
            if (!transferActive_) {
                refuse(packet, number, LoaderResult::NoTransfer, "no first packet since the last sync");
                return;
            }
            lastReplyNo_ = number + 1;
            takeImageBytes(packet, conv::loader::kData, conv::loader::kContinuationBytes);
            reply(packet, lastReplyNo_, LoaderResult::Ok, kPacketProgram);
            return;
        default:
            refuse(packet, number, LoaderResult::UnknownCommand,
                   "unknown command 0x" + conv::hexByte(static_cast<std::uint8_t>(command)));
            return;
    }
}

// ---- normal mode ----------------------------------------------------------------------------

std::vector<std::uint8_t> DeviceModel::statusReport() const {
    std::vector<std::uint8_t> out(kFrameSize, 0);
    out[0] = conv::frame::kReportNoIn;
    out[1] = kStatusKind;
    out[2] = 2;
    out[3] = conv::frame::kBurnB;
    out[4] = bStatus_;
    putLe16(&out[5], conv::checkSum(out.data(), 5));
    return out;
}

void DeviceModel::normalWrite(std::span<const std::uint8_t> report) {
    if (report.size() != kFrameSize || report[0] != conv::frame::kReportNoOut) {
        note("normal mode drops a write of " + std::to_string(report.size()) +
             " bytes (wants 32 bytes, report number 5)");
        return;
    }
    if (!conv::frameChecksumOk(report.data(), report.size())) {
        note("normal mode drops a frame of kind " + std::to_string(report[1]) + " with a wrong checksum");
        return;
    }
    const std::uint8_t kind = report[conv::frame::kKind];
    const std::uint8_t length = report[conv::frame::kLength];
    const std::uint8_t* payload = &report[conv::frame::kPayload];
    const std::uint8_t first = payload[0];

    switch (kind) {
        case conv::frame::kKindMode: {
            const std::string_view code(reinterpret_cast<const char*>(payload), length);
            if (code != config_.modeCode) {
                note("mode frame with code '" + std::string(code.substr(0, 8)) + "' ignored");
                return;
            }
            if (!updateMode_) {
                updateMode_ = true;
                bStatus_ = status::kWaiting;
                pending_.clear();
                nextStatusAt_ = now_ + (config_.faults.flood ? kFloodPeriod : config_.reportPeriod);
                note("update mode");
            }
            return;
        }
        case conv::frame::kKindBLine:
            if (length != conv::frame::kBLinePayload) {
                note("B-line frame with length " + std::to_string(length) + " ignored");
            } else if (!updateMode_) {
                note("B-line frame outside update mode ignored");
            } else {
                bLine(report);
            }
            return;
        case conv::frame::kKindStartBurn:
            if (length != 1 || (first != conv::frame::kStartA && first != conv::frame::kBurnB)) {
                note("start/burn frame with payload 0x" + conv::hexByte(first) + " ignored");
            } else if (!updateMode_) {
                note(std::string(first == conv::frame::kStartA ? "start A" : "burn") + " outside update mode ignored");
            } else if (first == conv::frame::kStartA) {
                leave(config_.faults.noLoader ? Identity::Normal : Identity::Loader,
                      config_.faults.noLoader ? "start A, fault no-loader" : "start A");
            } else if (config_.faults.unplugBurn) {
                config_.faults.unplugBurn = false;
                bootAfterPowerLoss("fault unplug-burn");
            } else {
                burn();
            }
            return;
        case conv::frame::kKindQuit:
            if (updateMode_) {
                updateMode_ = false;
                pending_.clear();
                bStatus_ = status::kWaiting;
                note("update mode ends (quit 0x" + conv::hexByte(first) + ")");
            }
            return;
        default:
            note("frame of unknown kind " + std::to_string(kind) + " ignored");
            return;
    }
}

void DeviceModel::bLine(std::span<const std::uint8_t> frame) {
    ++bLinesSeen_;
    if (config_.faults.unplugB == bLinesSeen_) {
        bootAfterPowerLoss("fault unplug-b@" + std::to_string(bLinesSeen_));
        return;
    }
    std::vector<std::uint8_t> echo(frame.begin(), frame.end());
    std::fill(echo.begin() + conv::frame::kBLineChecksum, echo.end(), 0);
    echo[0] = conv::frame::kReportNoIn;
    if (config_.faults.badEcho == bLinesSeen_) {
        echo[20] ^= 0xFF;  // the last data byte arrived damaged
        note("fault bad-echo@" + std::to_string(bLinesSeen_) +
             ": the line is kept and echoed with its last byte changed");
    }
    putLe16(&echo[conv::frame::kBLineChecksum], conv::checkSum(echo.data(), conv::frame::kBLineChecksum));

    const auto address = static_cast<std::uint16_t>(echo[3] | (echo[4] << 8));
    BLineData data{};
    std::copy_n(echo.begin() + 5, data.size(), data.begin());
    pending_[address] = data;
    if (!config_.faults.noC4) bStatus_ = status::kLinesHeld;

    // Its own reports may come first: the echo follows up to two of them, or exactly N under flood=N.
    // Queued with the echo now, they reach the host ahead of it whatever its timing. Under flood=N
    // they go one a frame, as a device sends them, so none is queued when the host's write returns.
    const std::optional<std::uint32_t>& fixed = config_.faults.floodEcho;
    const std::size_t lead = fixed ? *fixed : (bLinesSeen_ - 1) % kEchoLagCycle;
    const Micros spacing = fixed ? kUsbFrame : 0;
    for (std::size_t i = 0; i < lead; ++i) send(statusReport(), outFrame() + static_cast<Micros>(i + 1) * spacing);
    send(std::move(echo), outFrame() + static_cast<Micros>(lead + 1) * spacing);
}

void DeviceModel::burn() {
    if (pending_.empty()) {
        note("burn without B lines ignored");
        return;
    }
    if (config_.faults.noD0) {
        bStatus_ = status::kBurnFailed;
        pending_.clear();
        note("fault no-d0: the burn fails, flash unchanged");
        return;
    }
    // A burn once started runs to its end, whatever frames come meanwhile.
    burning_ = std::exchange(pending_, {});
    if (config_.fullSpeed) {
        burnDoneAt_ = now_ + static_cast<Micros>(burning_.size()) * kBLineBurn;
    } else {
        finishBurn();
    }
}

void DeviceModel::finishBurn() {
    burnDoneAt_.reset();
    flash_.bcode = std::exchange(burning_, {});
    ++flashRevision_;
    bStatus_ = status::kBurned;
    note("burned " + std::to_string(flash_.bcode.size()) + " B lines");
}

}  // namespace convsim
