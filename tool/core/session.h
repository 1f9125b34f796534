#pragma once
// One run of tavik: the device it opened last, the report buffers, and where its text goes.
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hid/transport.h"

#ifndef TAVIK_REPLY_WAIT_MS
#define TAVIK_REPLY_WAIT_MS 1000
#endif

namespace tavik {

inline constexpr std::size_t kReportBufferSize = 65;
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

    // Opens the identity and makes it `handle`. On failure prints `text` (and, when the device
    // is present but refused us, one line on the error stream) and returns false.
    bool open(Identity identity, NotFound text);
    // As open(), but prints nothing on stdout when the device is absent.
    bool openQuietly(Identity identity);

    // Writes the first `length` bytes of buf; stores and returns the result (-1 without a device).
    int writeBuf(std::size_t length);
    // After a failed writeBuf(): the line that says why ("!! hid_write() failed: ...").
    void reportWriteFailure() const;
    // Reads one report of up to `length` bytes into bufR after flushing what was printed, so a
    // run that is stopped while waiting still shows its text. Stores and returns the result.
    int readBufR(std::size_t length, int timeoutMs = hid::kBlocking);

    void pause(unsigned microseconds) const;

    // The run's shared state; device commands build their reports in place here.
    std::unique_ptr<hid::Device> handle;
    ReportBuffer buf{};
    ReportBuffer bufR{};
    std::int32_t res = 0;
    std::string wstr;  // last descriptor string fetched (UTF-8)
    std::uint32_t g_packno = 0;

private:
    bool openAs(Identity identity, const NotFound* text);

    hid::Transport& transport_;
    std::FILE* out_;
    std::FILE* err_;
    Config config_;
    // Devices replaced by a later open stay open until the run ends, as the converter expects.
    std::vector<std::unique_ptr<hid::Device>> replaced_;
};

}  // namespace tavik
