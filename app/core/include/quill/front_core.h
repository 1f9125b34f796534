#pragma once
// The update front end without a toolkit: the A and B transfers through the tool, the device
// waits, the START sequence and the service menu. It owns the front-end state and reaches the
// world only through the ports of ports.h.
//
// Run time limits (before the time factor; a run that reaches its limit is killed) are the command
// words' own (conv/commands.h); an A-line or B-line argument (one firmware packet or line) has 10 s.
//
// A step counts as done only when its run ended by itself with exit status 0 and printed what
// proves it: the loader's reply ("sta", "sync"), a packet's acknowledgement, a line's echo, the
// burn frame sent, the status asked for. A run that was killed at its limit, crashed or printed
// nothing proves nothing: the device waits count it as "not there yet", the transfers and the burn
// fail on it. Bursts ("sa", "sb", "qa", "qb") ignore what their runs print. A run that comes back
// interrupted (the application was told to end) ends the action at once, without an alert and
// with nothing further sent: its cause names the signal and the step. A tool that cannot be
// started, or a converter that is plugged in but may not be opened (tavik says so on standard
// error), ends the sequence (or the menu action) Failed at once, after one alert, with nothing
// further sent.
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "conv/commands.h"
#include "conv/hexfile.h"
#include "quill/bundle.h"
#include "quill/front_state.h"
#include "quill/ports.h"

namespace quill {

// The unscaled limit of a run with this argument.
std::chrono::milliseconds runLimitFor(std::string_view argument);

// A B line answered "retry" is sent again at most this many times.
inline constexpr int kMaxBLineResends = 20;

// Running screen of the START action.
inline constexpr std::string_view kRunningPicture = "0.png";
inline constexpr std::string_view kRunningBottomText = "DO NOT Remove the Converter";
struct Frame {
    int x, y, width, height;
};  // bottom-left origin, window content coordinates
inline constexpr Frame kRunningBottomFrame{10, 30, 450, 20};

// Service menu: titles in order, and the item selected at start.
inline constexpr std::array<std::string_view, 9> kMenuTitles{"Start A", "Status A", "Update A", "RunApRom", "Quit A",
                                                             "Start B", "Status B", "Update B", "Quit B"};
inline constexpr int kMenuInitialIndex = 6;

// Shown (by the window layer) when the user tries to close the window while isRunning().
inline constexpr std::string_view kCloseRefusedText =
    "The update is still running. Please wait until it has finished before closing the window.";

// Alerts of the sequence and the transfers.
inline constexpr std::string_view kAlertWaitLdrom = "Timout (wait LDROM)";
inline constexpr std::string_view kAlertWaitC4 = "TIMEOUT (wait status C4)";
// Its text is kept, but the update ends Failed: a burn the converter did not confirm is not done.
inline constexpr std::string_view kAlertWaitD0 = "Timeout (wait status:D0), auto-fixed";
inline constexpr std::string_view kAlertFinalChecksum = "Final CheckSum Error";
// Texts with a path or detail, built by these functions.
std::string alertFileMissing(char code, std::string_view path);  // "fopen Acode fail (PATH)"
std::string alertFileRefused(char code, std::string_view path, std::string_view why);
std::string alertToolUnavailable(std::string_view toolPath, std::string_view reason);
// The converter's ids ("0e7b:0bf2") and node path when `errorOutput` holds tavik's line for a
// converter that is present but may not be opened; nullopt otherwise.
struct UnopenableDevice {
    std::string ids;
    std::string path;
};
std::optional<UnopenableDevice> findUnopenableDevice(std::string_view errorOutput);
// "The converter IDS is plugged in at PATH but this user may not open it. Install the udev rule
// ..., then unplug the converter and plug it in again."
std::string alertCannotOpen(const UnopenableDevice& device);
std::string alertRetryBound(int lineNumber, std::string_view line);
// "Several converters are plugged in (USB ports 1-1, 1-2). ..." naming the ports.
std::string alertSeveralConverters(const std::vector<std::string>& ports);
// "The converters plugged in could not be listed: tavik ports WHY. Nothing was sent."
std::string alertListingFailed(std::string_view why);
// "No converter is plugged in: ..." (`port` empty), or "No converter is plugged in at USB port 1-3
// (converters are plugged in at USB ports 1-1, 1-2). Nothing was sent."
std::string alertNoConverter(std::string_view port, const std::vector<std::string>& present);
// A lock the update could not take (Busy or Failed): "Another update is running on the converter
// at USB port 1-1 (quillmere-cli, process 4242). Wait until it has finished.", and the sentence
// for the record ("another update holds the converter at USB port 1-1 (...); nothing was sent").
std::string alertLockRefused(const LockAttempt& attempt);
std::string causeLockRefused(const LockAttempt& attempt);

// The final A check: true when a "ckSum_r=" reply dump in `output` carries `localCksum`
// ("ll hh", either case) as its reply bytes 8 (low) and 9 (high).
bool finalChecksumMatches(std::string_view output, std::string_view localCksum);
// The total (bytes 8 low, 9 high) of the last whole "ckSum_r=" reply dump in `output`, if any.
std::optional<unsigned> lastFinalChecksum(std::string_view output);

// How a step of an action ended: done, or failed with the sentence that says why.
class [[nodiscard]] Step {
public:
    static Step done() { return Step(); }
    static Step failed(std::string cause) {
        Step step;
        step.failure_ = std::move(cause);
        return step;
    }
    bool ok() const { return !failure_; }
    // The sentence of a failed step (empty for one that is done).
    const std::string& cause() const {
        static const std::string none;
        return failure_ ? *failure_ : none;
    }

private:
    std::optional<std::string> failure_;
};

struct Ports {
    ToolRunner& runner;
    Alerts& alerts;
    Clock& clock;
    Log& log;
    SequenceView& view;
    ConverterLock& lock;
};

struct CoreConfig {
    std::string firmwareDir;  // folder holding "tmpa.hex" and "tmpb.hex"
    double timeScale = 1.0;   // multiplies every pause and run limit (see time_scale.h)
    double pauseScale = 1.0;  // multiplies the pauses only; 0 removes them (see time_scale.h)
    // The USB port of the converter to update ("1-1.4", a checked port path), chosen by the
    // person (Quillmere --port). Empty: each action looks which converters are present and
    // goes on only when there is at most one. Either way the runner is told (pinPort).
    std::string port;
};

class FrontCore {
public:
    FrontCore(const Ports& ports, CoreConfig config);

    FrontState& state() { return state_; }
    const FrontState& state() const { return state_; }
    // The settings in use (an unusable time scale already replaced by 1).
    const CoreConfig& config() const { return config_; }

    // Start-up: logs the bundle path, sets LOCAL_CKSUM from it and returns the version text for
    // labelVer (empty when the name has none).
    std::string readBundlePath(std::string_view bundlePath);

    // START / FINISH / EXIT. Ends the application once a sequence has ended; otherwise runs the
    // whole update and returns when it has ended. Ignored while an action is running.
    void onClick1();
    // Service pop-up: one action for the item title; false when the title is not a menu item.
    bool onChangeMenu1(std::string_view title);
    // The 0.2 s timer's decision (see front_state.h); the window applies it.
    Refresh onTimer1(bool ckboxTicked) { return quill::onTimer1(state_, ckboxTicked); }

    // The transfers (also reached from the service menu). Failure leaves STATUS_OF_PNG = -1.
    Step UPDATE_A();
    Step UPDATE_B();
    // Waits for the loader; a give-up shows its alert.
    Step waitLDROM();
    // After "runaprom": waits until the converter is listed in normal mode again (at least 3 s,
    // at most 20 s), so that the next burst reaches it.
    Step waitNormalMode();

    // True while the sequence, a transfer or a menu action runs: the window must not close.
    bool isRunning() const { return running_; }
    // How the last START sequence or menu action ended, for the update record: its first cause
    // of failure in one plain sentence ("B line 3 of 320 was not echoed"), or what went well.
    // Interrupted: a run came back RunEnd::Interrupted; nothing further was sent.
    enum class Outcome { Complete, Failed, Interrupted };
    const std::string& cause() const { return cause_; }
    Outcome lastOutcome() const { return outcome_; }
    bool lastActionFailed() const { return outcome_ != Outcome::Complete; }

    std::string firmwarePath(std::string_view fileName) const;

private:
    // The action stops at once: the tool cannot start or cannot reach the converter, or the
    // application was told to end.
    struct ActionStopped {
        std::string cause;
    };
    struct Busy;
    // Runs one user action marked as running; a stop (ActionStopped) fails it with its cause.
    Step whileBusy(const std::function<Step()>& action);

    // `next`: the argument of the run that will most likely follow (a hint for the runner).
    RunResult run(std::string_view argument, std::string_view next = {});
    // A run's time limit under the time factor.
    std::chrono::milliseconds scaledLimit(std::chrono::milliseconds limit) const;
    void burst(std::string_view word, int count, std::chrono::microseconds pauseAfter);
    void pauseFor(std::chrono::microseconds duration);
    // Runs `word` until a run proves `ready`; true when one did.
    bool waitDevice(std::string_view word, std::chrono::microseconds pause, int limit, bool (*ready)(const RunResult&));
    Step checksumFieldSound();
    // What an action sends, read once when it starts: everything sent comes from these bytes.
    struct Firmware {
        conv::AImage a;
        std::vector<std::string> b;  // empty when the box is not ticked
    };
    Step preflight(Firmware& firmware);
    // Reads a firmware file whole (once) into `bytes` and hands them to the log; a missing or
    // refused file alerts and fails.
    Step readFirmware(char code, std::string_view name, std::string& bytes);
    // Alerts and fails for a firmware file that may not be sent; `why` names the fault.
    Step refuseFirmware(char code, std::string_view name, const std::string& why);
    // Read and check the firmware files; a missing or refused file alerts and fails.
    Step loadA(conv::AImage& image);
    Step loadB(std::vector<std::string>& lines);
    Step sequence();
    Step sendAPackets(const conv::AImage& image);
    Step sendBLines(const std::vector<std::string>& lines);
    // "bb", then the wait for the converter's word that the burn is done (status D0).
    Step burnB();
    // Shows `alert` and fails with `cause`.
    Step fail(std::string cause, const std::string& alert);
    // The sentence for a step whose run proved nothing: a device that left (or was not found)
    // wins over the marker word, then a write that timed out or stalled, then a crash, then a run
    // killed at its limit, else `otherwise` after the step's name.
    std::string runFailure(const RunResult& result, std::string_view otherwise) const;
    void enterPhase(std::string_view name);
    // The USB ports of the converters listed, each once; fails when they cannot be listed, with the
    // alert for it in `alert` (none when interrupted), not shown.
    Step listPorts(std::vector<std::string>& present, std::string& alert);
    // Learns which converter the action is for, takes its lock and pins the runner to its port,
    // before anything is sent; fails (one alert) when the converters cannot be listed, several are
    // present and none was chosen, or another updater holds the lock or none can be had. For an
    // update (`forUpdate`) also when no converter is listed at all, or none on the chosen port.
    Step chooseConverter(bool forUpdate);
    // Runs one START sequence or menu action, notes how it ended and why, and lets go of the
    // converter's lock.
    void recordOutcome(const std::function<Step()>& action, std::string_view fineText);

    Ports ports_;
    CoreConfig config_;
    FrontState state_;
    bool running_ = false;
    std::optional<ChecksumProblem> checksumProblem_;  // from the bundle name, shown when START needs it
    std::string cause_;
    Outcome outcome_ = Outcome::Complete;
    bool interrupted_ = false;  // a run of this action came back RunEnd::Interrupted
    // What the action is doing, for the sentence of an interruption: a phase or a packet ("A
    // packet 212 of 536"); empty names the run itself.
    std::string step_;
    // A run of this action proved a converter present (or was killed: it may be).
    bool converterSeen_ = false;
};

// "Complete", "Failed" or "interrupted": the outcome as the record and the last line name it.
std::string_view outcomeName(FrontCore::Outcome outcome);

// A cause as the failure screen shows it: one sentence, capitalised and with a full stop, followed
// by what to do where the cause tells ("Plug it in, press EXIT and start again.").
std::string causeLine(std::string_view cause);

}  // namespace quill
