#pragma once
// The converter as a state machine free of I/O: fed with the reports the host writes and with the
// time, it produces the input reports it sends and the comings and goings of its USB identities.
// The socket server drives it with the real clock; unit tests drive it with a virtual one.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "faults.h"
#include "flash.h"

namespace convsim {

using Micros = std::int64_t;

enum class Identity { None, Normal, Loader };
std::string_view identityName(Identity identity);
std::uint16_t vendorId(Identity identity);
std::uint16_t productId(Identity identity);

struct ModelConfig {
    Micros reenumDelay = 500'000;
    Micros reportPeriod = 8'000;
    bool fullSpeed = false;                 // 1 ms USB frames and flash programming times; otherwise instant
    std::string modeCode;                   // empty: conv::modeCode()
    std::uint32_t appRegionBytes = 61'440;  // 64 KiB flash less a 4 KiB loader
    Faults faults;
};

// Timing of the full-speed model.
inline constexpr Micros kUsbFrame = 1'000;     // one interrupt transfer per 1 ms frame
inline constexpr Micros kPacketProgram = 600;  // 56 bytes = 14 words at about 40 us each
inline constexpr Micros kBLineBurn = 160;      // 16 bytes = 4 words at about 40 us each
inline constexpr Micros kFloodPeriod = 100;    // `flood`: ten reports per millisecond

// Last byte of the normal-mode status report (report number 1, kind 1: 01 01 02 42 <code> <sum>).
namespace status {
inline constexpr std::uint8_t kWaiting = 0xB0;     // update mode, no B line held
inline constexpr std::uint8_t kLinesHeld = 0xC4;   // B lines received, not burned yet
inline constexpr std::uint8_t kBurned = 0xD0;      // the burn finished
inline constexpr std::uint8_t kBurnFailed = 0xE0;  // the burn failed (fault no-d0)
}  // namespace status

// Byte 2 of a loader reply: why a packet was refused (0: taken).
enum class LoaderResult : std::uint8_t {
    Ok = 0,
    WrongNumber = 1,  // not the number following the last reply
    NoTransfer = 2,   // continuation packet without a first packet since the last sync
    BadTotal = 3,     // image length 0 or larger than the application region
    BadAddress = 4,   // start address other than 0
    UnknownCommand = 5,
};

struct Event {
    enum class Kind { Input, Left, Arrived, Note };
    Kind kind = Kind::Note;
    Identity identity = Identity::None;
    std::vector<std::uint8_t> bytes;  // Input: the report, report number first for numbered reports
    std::string text;                 // Note: one line for the log
};

class DeviceModel {
public:
    DeviceModel(ModelConfig config, FlashState flash, Micros now = 0);

    Identity identity() const { return identity_; }
    // A tool run opens `wanted`; true when the device is there as that identity.
    bool open(Identity wanted);
    // The host wrote `report` (byte 0 the report number, 0 = unnumbered) to the current identity.
    void write(std::span<const std::uint8_t> report, Micros now);
    // Lets time pass: re-enumeration, periodic reports, queued replies falling due.
    void advance(Micros now);
    // When advance() has something to do next; nullopt: nothing until the next write.
    std::optional<Micros> nextDeadline() const;
    // When the identity present, told to leave, drops off the bus (slow-leave); nullopt: not leaving.
    std::optional<Micros> leavesAt() const { return leaveAt_; }
    std::vector<Event> takeEvents();

    const FlashState& flash() const { return flash_; }
    std::uint64_t flashRevision() const { return flashRevision_; }
    bool inUpdateMode() const { return updateMode_; }
    std::uint32_t lastReplyNumber() const { return lastReplyNo_; }

private:
    struct Outgoing {
        Micros due;
        std::vector<std::uint8_t> bytes;
    };
    using Packet = std::array<std::uint8_t, 64>;

    void note(std::string text);
    void leave(Identity comesBack, const std::string& why);
    void dropOff(Micros at);
    bool reporting() const {
        return identity_ == Identity::Normal && !leaveAt_ && (updateMode_ || config_.faults.flood);
    }
    void bootAfterPowerLoss(const std::string& why);
    void send(std::vector<std::uint8_t> report, Micros earliest);
    std::vector<std::uint8_t> applyOutputFaults(std::vector<std::uint8_t> report);
    std::uint8_t nextRandom();

    void loaderWrite(std::span<const std::uint8_t> report);
    void reply(const Packet& packet, std::uint32_t number, LoaderResult result, Micros work = 0);
    Micros outFrame() const;
    void refuse(const Packet& packet, std::uint32_t number, LoaderResult result, const std::string& why);
    void takeImageBytes(const Packet& packet, std::size_t offset, std::size_t available);

    void normalWrite(std::span<const std::uint8_t> report);
    void bLine(std::span<const std::uint8_t> frame);
    void burn();
    void finishBurn();
    std::vector<std::uint8_t> statusReport() const;

    ModelConfig config_;
    FlashState flash_;
    std::uint64_t flashRevision_ = 0;
    Micros now_;

    Identity identity_;
    Identity arriving_ = Identity::None;
    Micros arriveAt_ = 0;
    std::optional<Micros> leaveAt_;  // told to leave, still on the bus until then
    Identity leavingTo_ = Identity::None;
    std::string leavingWhy_;

    // loader
    std::uint32_t lastReplyNo_ = 0;
    bool transferActive_ = false;
    std::uint64_t aPacketsSeen_ = 0;
    bool silentNoted_ = false;

    // normal mode
    bool updateMode_ = false;
    std::uint8_t bStatus_ = status::kWaiting;
    std::map<std::uint16_t, BLineData> pending_;
    std::uint64_t bLinesSeen_ = 0;
    Micros nextStatusAt_ = 0;
    std::map<std::uint16_t, BLineData> burning_;  // lines of the burn in progress
    std::optional<Micros> burnDoneAt_;

    std::deque<Outgoing> queue_;
    Micros lastDue_ = 0;
    std::vector<Event> events_;
    std::uint64_t random_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace convsim
