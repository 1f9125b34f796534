// The START sequence, the device waits and the service menu.
#include "quill/front_core.h"

#include <algorithm>
#include <cmath>

#include "conv/hexfile.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "quill/bundle.h"
#include "text_search.h"

namespace quill {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

// A run that was killed at its limit never proves a device present or a marker seen.
bool loaderPresent(const RunResult& r) { return r.end == RunEnd::Exited && !contains(r.output, conv::kLoaderNotFound); }
bool statusC4(const RunResult& r) { return r.end == RunEnd::Exited && contains(r.output, conv::kStatusLinesHeld); }
bool statusD0(const RunResult& r) { return r.end == RunEnd::Exited && contains(r.output, conv::kStatusBurned); }
// tavik's words for a converter it did not find (loader or normal mode); a killed run proves nothing.
bool foundNothing(const RunResult& r) { return r.end == RunEnd::Exited && contains(r.output, conv::kNotFoundEnd); }

}  // namespace

// Marks an action as running for as long as it is in scope.
struct FrontCore::Busy {
    explicit Busy(bool& flag) : flag_(flag), outer_(flag) { flag_ = true; }
    ~Busy() { flag_ = outer_; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    bool& flag_;
    bool outer_;
};

FrontCore::FrontCore(const Ports& ports, CoreConfig config) : ports_(ports), config_(std::move(config)) {
    if (!(config_.timeScale > 0) || !std::isfinite(config_.timeScale)) config_.timeScale = 1.0;
    if (!(config_.pauseScale >= 0) || !std::isfinite(config_.pauseScale)) config_.pauseScale = 1.0;
}

std::string FrontCore::readBundlePath(std::string_view bundlePath) {
    BundleName name = readBundleName(bundlePath);
    for (const auto& line : name.logLines) ports_.log.log(line);
    state_.LOCAL_CKSUM = name.localCksum;
    checksumProblem_ = name.checksumProblem;
    return name.versionText.value_or(std::string());
}

void FrontCore::pauseFor(microseconds duration) {
    const double factor = config_.timeScale * config_.pauseScale;
    ports_.clock.pause(microseconds(std::llround(static_cast<double>(duration.count()) * factor)));
}

milliseconds FrontCore::scaledLimit(milliseconds limit) const {
    // At least 1 ms: a zero limit would mean "no limit" to some runners.
    return milliseconds(std::max<long long>(1, std::llround(static_cast<double>(limit.count()) * config_.timeScale)));
}

RunResult FrontCore::run(std::string_view argument, std::string_view next) {
    const milliseconds limit = scaledLimit(runLimitFor(argument));
    if (!next.empty()) ports_.runner.expectNext(std::string(next));
    RunResult result = ports_.runner.runCmd(std::string(argument), limit);
    if (result.end == RunEnd::Interrupted) {
        because("interrupted by " + result.reason + " during " +
                (step_.empty() ? "the tavik run " + std::string(argument) : step_));
        interrupted_ = true;
        throw ActionStopped{};
    }
    converterSeen_ = converterSeen_ || !foundNothing(result);
    state_.cmdRet = result.output;
    ports_.log.log("runCmd() returned:\n" + state_.cmdRet);
    switch (result.end) {
        case RunEnd::Exited:
            break;
        case RunEnd::TimedOut:
            ports_.log.log("tavik killed after " + std::to_string(limit.count()) + " ms: " + std::string(argument));
            break;
        case RunEnd::Interrupted:
            break;  // handled above
        case RunEnd::FailedToStart:
            because("tavik cannot be started (" + ports_.runner.toolPath() + "): " + result.reason);
            ports_.alerts.alertA(alertToolUnavailable(ports_.runner.toolPath(), result.reason));
            throw ActionStopped{};
    }
    // Waiting on would only end in a misleading time-out: the converter is there, we may not open it.
    if (auto device = findUnopenableDevice(result.errorOutput)) {
        because("the converter " + device->ids + " at " + device->path +
                " stayed closed to this user for 1.5 s: a permission problem, not a late grant");
        ports_.alerts.alertA(alertCannotOpen(*device));
        throw ActionStopped{};
    }
    return result;
}

namespace {

std::string portList(const std::vector<std::string>& ports) {
    std::string list;
    for (const std::string& port : ports) list += (list.empty() ? "" : ", ") + port;
    return list;
}

}  // namespace

std::string alertSeveralConverters(const std::vector<std::string>& ports) {
    return "Several converters are plugged in (USB ports " + portList(ports) +
           "). Unplug all but the one to update, or choose one with --port PORT.";
}

std::string alertLockRefused(const LockAttempt& attempt) {
    if (attempt.status == LockAttempt::Status::Failed)
        return "The update cannot keep other updates off the converter: " + attempt.why + ". Nothing was sent.";
    return "Another update is running " +
           (attempt.port.empty() ? std::string("on this computer without a chosen converter")
                                 : "on the converter at USB port " + attempt.port) +
           " (" + attempt.holder + "). Wait until it has finished.";
}

std::string causeLockRefused(const LockAttempt& attempt) {
    if (attempt.status == LockAttempt::Status::Failed)
        return "no lock on the converter could be had: " + attempt.why + "; nothing was sent";
    return (attempt.port.empty() ? std::string("another update is running on this computer without a chosen converter")
                                 : "another update holds the converter at USB port " + attempt.port) +
           " (" + attempt.holder + "); nothing was sent";
}

bool FrontCore::chooseConverter() {
    std::string port = config_.port;
    if (port.empty()) {
        const milliseconds limit = scaledLimit(kStatusRunLimit);
        // A listing that cannot be had leaves today's path: the runs that follow say what is wrong.
        const std::optional<RunResult> listing = ports_.runner.listConverters(limit);
        std::vector<std::string> present;
        if (listing && listing->end == RunEnd::Exited) {
            std::string_view rest = listing->output;
            while (!rest.empty()) {
                const std::size_t end = std::min(rest.find('\n'), rest.size());
                if (auto device = conv::usbport::parseListingLine(rest.substr(0, end));
                    device && std::find(present.begin(), present.end(), device->port) == present.end())
                    present.push_back(device->port);
                rest.remove_prefix(std::min(end + 1, rest.size()));
            }
        }
        if (present.size() > 1) {
            because("several converters were plugged in (USB ports " + portList(present) + "); nothing was sent");
            ports_.alerts.alertA(alertSeveralConverters(present));
            return false;
        }
        if (present.size() == 1) port = present.front();
    }
    // Before the holder or any run reaches the converter: another updater's bursts would mix with ours.
    if (const LockAttempt lock = ports_.lock.acquire(port); lock.status != LockAttempt::Status::Taken) {
        because(causeLockRefused(lock));
        ports_.alerts.alertA(alertLockRefused(lock));
        return false;
    }
    ports_.runner.pinPort(port);
    if (!port.empty()) ports_.log.log("the converter on USB port " + port + " is the only one opened");
    return true;
}

void FrontCore::burst(std::string_view word, int count, microseconds pauseAfter) {
    for (int i = 0; i < count; ++i) {
        run(word);
        if (pauseAfter.count() > 0) pauseFor(pauseAfter);
    }
}

void FrontCore::because(std::string sentence) {
    if (cause_.empty()) cause_ = std::move(sentence);
}

void FrontCore::enterPhase(const std::string& name) {
    step_ = "the phase \"" + name + "\"";
    ports_.log.phase(name);
}

void FrontCore::recordOutcome(const std::function<bool()>& action, std::string_view fineText) {
    cause_.clear();
    step_.clear();
    interrupted_ = false;
    converterSeen_ = false;
    // However the action ends, the next updater may have the converter.
    struct Release {
        ConverterLock& lock;
        ~Release() { lock.release(); }
    } release{ports_.lock};
    const bool failed = action();
    outcome_ = interrupted_ ? Outcome::Interrupted : failed ? Outcome::Failed : Outcome::Complete;
    if (cause_.empty()) cause_ = failed ? "the update failed without a recorded cause" : std::string(fineText);
}

void FrontCore::fail(const std::string& alert) {
    ports_.alerts.alertA(alert);
    state_.STATUS_OF_PNG = kStatusFailed;
}

// Runs `word` until `ready`; gives up after `limit` examined runs plus one unexamined run.
bool FrontCore::waitDevice(std::string_view word, microseconds pause, int limit, bool (*ready)(const RunResult&)) {
    for (int attempts = 1;; ++attempts) {
        const RunResult result = run(word);
        pauseFor(pause);
        if (attempts > limit) return false;
        if (ready(result)) return true;
    }
}

bool FrontCore::waitLDROM() {
    const bool present = waitDevice("sta", seconds(1), 30, loaderPresent);
    if (!present) {
        // Not one run of this action found a converter in either mode: none is plugged in.
        because(converterSeen_ ? "the loader did not appear after 31 tries"
                               : "no converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared");
        ports_.alerts.alertA(std::string(kAlertWaitLdrom));
    }
    ports_.log.trace("waitLDROM() done.\n");
    return present;
}

// Without the expected total the A code could only end on "Final CheckSum Error": nothing is sent.
bool FrontCore::checksumFieldSound() {
    if (parseLocalCksum(state_.LOCAL_CKSUM)) return true;
    const ChecksumProblem problem = checksumProblem_.value_or(checksumFieldProblem(std::nullopt));
    because(problem.cause);
    fail(problem.alert);
    return false;
}

// The bundle name and both firmware files are checked before anything reaches the device.
std::optional<FrontCore::Firmware> FrontCore::preflight() {
    if (!checksumFieldSound()) return std::nullopt;
    Firmware firmware;
    auto a = loadA();
    if (!a) return std::nullopt;
    firmware.a = std::move(*a);
    if (ports_.view.compatibilityTicked()) {
        auto b = loadB();
        if (!b) return std::nullopt;
        firmware.b = std::move(*b);
    }
    return firmware;
}

void FrontCore::sequence() {
    enterPhase("file check");
    const auto firmware = preflight();
    if (!firmware) return;

    // A phase: into the loader, the A code, back to the application, into the loader again.
    enterPhase("into the loader");
    burst("sa", 20, milliseconds(1));
    if (!waitLDROM()) {
        state_.STATUS_OF_PNG = kStatusFailed;
        return;
    }
    enterPhase("A transfer");
    sendAPackets(firmware->a);
    if (state_.STATUS_OF_PNG == kStatusFailed) return;
    enterPhase("restart and into the loader again");
    run("runaprom");
    pauseFor(seconds(3));
    burst("sa", 10, microseconds(0));
    if (!waitLDROM()) {
        state_.STATUS_OF_PNG = kStatusFailed;
        return;
    }
    run("runaprom");
    pauseFor(seconds(3));

    // B phase.
    enterPhase("into B mode");
    for (int i = 0; i < 10; ++i) {
        run("sb");
        run("qa");
        pauseFor(microseconds(100));
    }
    run("sb");
    pauseFor(milliseconds(1));
    burst("sb", 20, milliseconds(20));
    if (ports_.view.compatibilityTicked()) {
        enterPhase("B transfer");
        sendBLines(firmware->b);
        // An incomplete B code is never burned; the device still has to leave update mode.
        if (state_.STATUS_OF_PNG != kStatusFailed) {
            enterPhase("burn");
            if (!waitDevice("stb", seconds(2), 10, statusC4)) {
                because("the status C4 did not come after 11 tries");
                ports_.alerts.alertA(std::string(kAlertWaitC4));
                state_.STATUS_OF_PNG = kStatusFailed;
                return;
            }
            run("bb");
            if (!waitDevice("stb", seconds(2), 5, statusD0)) {
                because("the status D0 did not come after 6 tries: the burn was not confirmed by the device");
                ports_.alerts.alertA(std::string(kAlertWaitD0));
            }
        }
    }

    // Leaving update mode.
    enterPhase("leaving update mode");
    run("stb");
    pauseFor(seconds(6));
    burst("qa", 30, milliseconds(2));
    run("qb");
    burst("qb", 30, milliseconds(2));
}

void FrontCore::onClick1() {
    if (running_) return;
    if (state_.STATUS_OF_PNG >= kStatusComplete || state_.STATUS_OF_PNG == kStatusFailed) {
        ports_.view.terminateApp();
        return;
    }
    recordOutcome(
        [this] {
            const bool toolStarted = whileBusy([this] {
                ports_.view.showRunningScreen();
                if (chooseConverter()) {
                    sequence();
                } else {
                    state_.STATUS_OF_PNG = kStatusFailed;
                }
            });
            if (!toolStarted) state_.STATUS_OF_PNG = kStatusFailed;
            if (state_.STATUS_OF_PNG != kStatusFailed) state_.STATUS_OF_PNG = kStatusComplete;
            return state_.STATUS_OF_PNG == kStatusFailed;
        },
        "every step was confirmed by the device");
    ports_.view.showStartButton();
}

bool FrontCore::whileBusy(const std::function<void()>& action) {
    Busy busy(running_);
    try {
        action();
    } catch (const ActionStopped&) {
        return false;  // its alert has already been shown
    }
    return true;
}

void FrontCore::UPDATE_A() {
    if (!whileBusy([this] {
            if (!checksumFieldSound()) return;
            if (const auto image = loadA()) sendAPackets(*image);
        }))
        state_.STATUS_OF_PNG = kStatusFailed;
}

void FrontCore::UPDATE_B() {
    if (!whileBusy([this] {
            if (const auto lines = loadB()) sendBLines(*lines);
        }))
        state_.STATUS_OF_PNG = kStatusFailed;
}

bool FrontCore::onChangeMenu1(std::string_view title) {
    // The tool word of each item, in menu order; the two "Update" items run a transfer instead.
    static constexpr std::array<std::string_view, kMenuTitles.size()> kWords{"sa", "sta", "", "runaprom", "qa",
                                                                             "sb", "stb", "", "qb"};
    const auto item = std::find(kMenuTitles.begin(), kMenuTitles.end(), title);
    if (item == kMenuTitles.end()) return false;
    if (running_) return true;
    recordOutcome(
        [&] {
            bool chosen = false;
            whileBusy([&] { chosen = chooseConverter(); });
            if (!chosen) return true;
            if (title == "Update A") {
                UPDATE_A();
            } else if (title == "Update B") {
                UPDATE_B();
            } else {
                // One service action: when the tool cannot start, its alert says all there is to say.
                whileBusy([&] { run(kWords[static_cast<std::size_t>(item - kMenuTitles.begin())]); });
            }
            return !cause_.empty();
        },
        std::string(title) + " ran");
    return true;
}

std::string_view outcomeName(FrontCore::Outcome outcome) {
    switch (outcome) {
        case FrontCore::Outcome::Complete:
            return "Complete";
        case FrontCore::Outcome::Failed:
            return "Failed";
        case FrontCore::Outcome::Interrupted:
            break;
    }
    return "interrupted";
}

}  // namespace quill
