// The START sequence, the device waits and the service menu.
#include "quill/front_core.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "conv/hexfile.h"
#include "conv/toolrun.h"
#include "conv/usbport.h"
#include "quill/bundle.h"
#include "quill/update_progress.h"
#include "run_evidence.h"

namespace quill {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

using namespace evidence;

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
        interrupted_ = true;
        throw ActionStopped{"interrupted by " + result.reason + " during " +
                            (step_.empty() ? "the tavik run " + std::string(argument) : step_)};
    }
    converterSeen_ = converterSeen_ || !foundNothing(result);
    state_.cmdRet = result.output;
    ports_.log.log("runCmd() returned:\n" + state_.cmdRet);
    switch (result.end) {
        case RunEnd::Exited:
        case RunEnd::Interrupted:  // handled above
            break;
        case RunEnd::TimedOut:
            ports_.log.log("tavik killed after " + std::to_string(limit.count()) + " ms: " + std::string(argument));
            break;
        case RunEnd::Crashed:
            ports_.log.log("tavik ended " + crashText(result) + ": " + std::string(argument));
            break;
        case RunEnd::FailedToStart:
            ports_.alerts.alertA(alertToolUnavailable(ports_.runner.toolPath(), result.reason));
            throw ActionStopped{"tavik cannot be started (" + ports_.runner.toolPath() + "): " + result.reason};
    }
    // Waiting on would only end in a misleading time-out: the converter is there, we may not open it.
    if (auto device = findUnopenableDevice(result.errorOutput)) {
        ports_.alerts.alertA(alertCannotOpen(*device));
        throw ActionStopped{
            "the converter " + device->ids + " at " + device->path +
            " stayed closed to this user once udev had finished with it: a permission problem, not a late grant"};
    }
    return result;
}

std::string FrontCore::runFailure(const RunResult& result, std::string_view otherwise) const {
    if (converterGone(result)) return "the converter was unplugged during " + step_;
    if (contains(result.output, conv::kWriteTimedOut)) return "the write of " + step_ + " timed out";
    if (contains(result.output, conv::kWriteStalled)) return "the converter stalled the write of " + step_;
    if (result.end == RunEnd::Crashed) return "tavik ended " + crashText(result) + " during " + step_;
    if (result.end == RunEnd::TimedOut) return step_ + " got no answer in time";
    return step_ + std::string(otherwise);
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

std::string alertListingFailed(std::string_view why) {
    return "The converters plugged in could not be listed: tavik ports " + std::string(why) + ". Nothing was sent.";
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

std::string alertNoConverter(std::string_view port, const std::vector<std::string>& present) {
    if (port.empty())
        return "No converter is plugged in: neither 0E7B:0BF2 nor its loader 0416:A316 is listed. Plug it in and "
               "start again. Nothing was sent.";
    return "No converter is plugged in at USB port " + std::string(port) + " (" +
           (present.empty() ? std::string("none is plugged in at all")
                            : "converters are plugged in at USB ports " + portList(present)) +
           "). Nothing was sent.";
}

Step FrontCore::listPorts(std::vector<std::string>& present, std::string& alert) {
    present.clear();
    const std::optional<RunResult> listing = ports_.runner.listConverters(scaledLimit(runLimitFor("ports")));
    if (listing && listing->end == RunEnd::Interrupted) {
        interrupted_ = true;
        return Step::failed("interrupted by " + listing->reason + " during the converter listing");
    }
    if (listing && listing->end == RunEnd::FailedToStart) {
        alert = alertToolUnavailable(ports_.runner.toolPath(), listing->reason);
        return Step::failed("tavik cannot be started (" + ports_.runner.toolPath() + "): " + listing->reason);
    }
    const auto listed = listing && ranToEnd(*listing) ? conv::usbport::parseListing(listing->output)
                                                      : std::optional<std::vector<conv::usbport::PortNode>>();
    if (!listed) {
        const std::string why = !listing                           ? "cannot be run by this front end"
                                : listing->end == RunEnd::TimedOut ? "got no answer in time"
                                : listing->end == RunEnd::Crashed  ? "ended " + crashText(*listing)
                                                                   : "printed no whole list";
        alert = alertListingFailed(why);
        return Step::failed("the converters could not be listed (tavik ports " + why + "); nothing was sent");
    }
    // A converter re-enumerating may be listed once per identity.
    for (const auto& device : *listed)
        if (std::find(present.begin(), present.end(), device.port) == present.end()) present.push_back(device.port);
    return Step::done();
}

Step FrontCore::chooseConverter(bool forUpdate) {
    // A converter re-enumerating is missing from a listing for a moment: an update looks a few
    // times before it says there is none.
    constexpr int kLooks = 3;
    constexpr milliseconds kBetweenLooks{250};
    std::string port = config_.port;
    std::vector<std::string> present;
    if (port.empty()) {
        // Which converter to reach is decided here, and nothing is sent unless it could be.
        for (int look = 1;; ++look) {
            std::string alert;
            if (Step listed = listPorts(present, alert); !listed.ok())
                return alert.empty() ? listed : fail(listed.cause(), alert);
            if (!forUpdate || !present.empty() || look == kLooks) break;
            pauseFor(kBetweenLooks);
        }
        if (present.size() > 1)
            return fail("several converters were plugged in (USB ports " + portList(present) + "); nothing was sent",
                        alertSeveralConverters(present));
        if (present.empty() && forUpdate)
            return fail("no converter was plugged in: tavik ports listed none; nothing was sent",
                        alertNoConverter({}, present));
        if (present.size() == 1) port = present.front();
    }
    // Before the holder or any run reaches the converter: another updater's bursts would mix with ours.
    if (const LockAttempt lock = ports_.lock.acquire(port); lock.status != LockAttempt::Status::Taken)
        return fail(causeLockRefused(lock), alertLockRefused(lock));
    // A port chosen by the person: an update there stops at once when no converter is on it. A
    // listing that cannot be had changes nothing here: the port is chosen already.
    for (int look = 1; forUpdate && !config_.port.empty(); ++look) {
        std::string alert;
        Step listed = listPorts(present, alert);
        if (interrupted_) return listed;
        if (!listed.ok() || std::find(present.begin(), present.end(), port) != present.end()) break;
        if (look == kLooks) {
            const std::string elsewhere =
                present.empty() ? "none was plugged in at all" : "converters were at USB ports " + portList(present);
            return fail("no converter was plugged in at USB port " + port + " (" + elsewhere + "); nothing was sent",
                        alertNoConverter(port, present));
        }
        pauseFor(kBetweenLooks);
    }
    ports_.runner.pinPort(port);
    if (!port.empty()) ports_.log.log("the converter on USB port " + port + " is the only one opened");
    return Step::done();
}

void FrontCore::burst(std::string_view word, int count, microseconds pauseAfter) {
    for (int i = 0; i < count; ++i) {
        run(word);
        if (pauseAfter.count() > 0) pauseFor(pauseAfter);
    }
}

void FrontCore::enterPhase(std::string_view name) {
    step_ = "the phase \"" + std::string(name) + "\"";
    ports_.log.phase(std::string(name));
}

void FrontCore::recordOutcome(const std::function<Step()>& action, std::string_view fineText) {
    step_.clear();
    interrupted_ = false;
    converterSeen_ = false;
    // However the action ends, the next updater may have the converter.
    struct Release {
        ConverterLock& lock;
        ~Release() { lock.release(); }
    } release{ports_.lock};
    const Step result = action();
    outcome_ = interrupted_ ? Outcome::Interrupted : result.ok() ? Outcome::Complete : Outcome::Failed;
    cause_ = result.ok() ? std::string(fineText) : result.cause();
    if (cause_.empty()) cause_ = "the update failed without a recorded cause";
}

Step FrontCore::fail(std::string cause, const std::string& alert) {
    ports_.alerts.alertA(alert);
    return Step::failed(std::move(cause));
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

Step FrontCore::waitNormalMode() {
    // The shortest wait is the time the converter is known to need; after it, a look every half
    // second until it is listed in normal mode again, 20 s in all.
    constexpr milliseconds kShortest{3000}, kBetweenLooks{500}, kLongest{20000};
    pauseFor(kShortest);
    for (milliseconds waited = kShortest;; waited += kBetweenLooks) {
        if (normalModeListed(run("ports"))) return Step::done();
        if (waited >= kLongest) break;
        pauseFor(kBetweenLooks);
    }
    return Step::failed("the converter did not come back after its application started (20 s)");
}

Step FrontCore::waitLDROM() {
    const bool present = waitDevice("sta", seconds(1), 30, loaderPresent);
    ports_.log.trace("waitLDROM() done.\n");
    if (present) return Step::done();
    // Not one run of this action found a converter in either mode: none is plugged in.
    return fail(converterSeen_ ? "the loader did not appear after 31 tries"
                               : "no converter was found: neither 0E7B:0BF2 nor its loader 0416:A316 appeared",
                std::string(kAlertWaitLdrom));
}

// Without the expected total the A code could only end on "Final CheckSum Error": nothing is sent.
Step FrontCore::checksumFieldSound() {
    if (parseLocalCksum(state_.LOCAL_CKSUM)) return Step::done();
    const ChecksumProblem problem = checksumProblem_.value_or(checksumFieldProblem(std::nullopt));
    return fail(problem.cause, problem.alert);
}

// The bundle name and both firmware files are checked before anything reaches the device.
Step FrontCore::preflight(Firmware& firmware) {
    if (Step name = checksumFieldSound(); !name.ok()) return name;
    if (Step a = loadA(firmware.a); !a.ok()) return a;
    if (ports_.view.compatibilityTicked()) return loadB(firmware.b);
    return Step::done();
}

Step FrontCore::burnB() {
    step_ = "the burn";
    if (const RunResult burn = run("bb"); !ranToEnd(burn) || !contains(burn.output, conv::kBurnSent))
        return Step::failed(runFailure(burn, " did not reach the converter"));
    if (!waitDevice("stb", seconds(2), 5, statusD0))
        return fail("the burn was not confirmed by the converter (no status D0 after 6 tries)",
                    std::string(kAlertWaitD0));
    return Step::done();
}

Step FrontCore::sequence() {
    enterPhase(kPhaseFileCheck);
    Firmware firmware;
    if (Step files = preflight(firmware); !files.ok()) return files;
    state_.aPackets = conv::buildAPackets(firmware.a).size();
    state_.bLines = firmware.b.size();

    // A phase: into the loader, the A code, back to the application, into the loader again.
    enterPhase(kPhaseIntoLoader);
    burst("sa", 20, milliseconds(1));
    if (Step loader = waitLDROM(); !loader.ok()) return loader;
    enterPhase(kPhaseATransfer);
    if (Step a = sendAPackets(firmware.a); !a.ok()) return a;
    enterPhase(kPhaseRestart);
    run("runaprom");
    if (Step back = waitNormalMode(); !back.ok()) return back;
    burst("sa", 10, microseconds(0));
    if (Step loader = waitLDROM(); !loader.ok()) return loader;
    run("runaprom");
    if (Step back = waitNormalMode(); !back.ok()) return back;

    // B phase.
    enterPhase(kPhaseIntoB);
    for (int i = 0; i < 10; ++i) {
        run("sb");
        run("qa");
        pauseFor(microseconds(100));
    }
    run("sb");
    pauseFor(milliseconds(1));
    burst("sb", 20, milliseconds(20));
    Step b = Step::done();
    if (ports_.view.compatibilityTicked()) {
        enterPhase(kPhaseBTransfer);
        b = sendBLines(firmware.b);
        // An incomplete B code is never burned; the device still has to leave update mode.
        if (b.ok()) {
            enterPhase(kPhaseBurn);
            if (!waitDevice("stb", seconds(2), 10, statusC4))
                return fail("the status C4 did not come after 11 tries", std::string(kAlertWaitC4));
            b = burnB();
        }
    }

    // Leaving update mode.
    enterPhase(kPhaseLeave);
    run("stb");
    pauseFor(seconds(6));
    burst("qa", 30, milliseconds(2));
    run("qb");
    burst("qb", 30, milliseconds(2));
    return b;
}

void FrontCore::onClick1() {
    if (running_) return;
    if (state_.STATUS_OF_PNG >= kStatusComplete || state_.STATUS_OF_PNG == kStatusFailed) {
        ports_.view.terminateApp();
        return;
    }
    recordOutcome(
        [this] {
            Step result = whileBusy([this] {
                ports_.view.showRunningScreen();
                if (Step chosen = chooseConverter(true); !chosen.ok()) return chosen;
                return sequence();
            });
            state_.STATUS_OF_PNG = result.ok() ? kStatusComplete : kStatusFailed;
            return result;
        },
        "every step was confirmed by the device");
    ports_.view.showStartButton();
}

Step FrontCore::whileBusy(const std::function<Step()>& action) {
    Busy busy(running_);
    try {
        return action();
    } catch (const ActionStopped& stopped) {
        return Step::failed(stopped.cause);  // its alert has already been shown
    }
}

Step FrontCore::UPDATE_A() {
    Step result = whileBusy([this] {
        if (Step name = checksumFieldSound(); !name.ok()) return name;
        conv::AImage image;
        if (Step file = loadA(image); !file.ok()) return file;
        return sendAPackets(image);
    });
    if (!result.ok()) state_.STATUS_OF_PNG = kStatusFailed;
    return result;
}

Step FrontCore::UPDATE_B() {
    Step result = whileBusy([this] {
        std::vector<std::string> lines;
        if (Step file = loadB(lines); !file.ok()) return file;
        return sendBLines(lines);
    });
    if (!result.ok()) state_.STATUS_OF_PNG = kStatusFailed;
    return result;
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
            if (Step chosen = whileBusy([this] { return chooseConverter(false); }); !chosen.ok()) return chosen;
            if (title == "Update A") return UPDATE_A();
            if (title == "Update B") return UPDATE_B();
            // One service action: it ran when its run ended by itself.
            return whileBusy([&] {
                const std::string_view word = kWords[static_cast<std::size_t>(item - kMenuTitles.begin())];
                step_ = "the tavik run " + std::string(word);
                const RunResult result = run(word);
                return ranToEnd(result) ? Step::done() : Step::failed(runFailure(result, " did not end by itself"));
            });
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

std::string causeLine(std::string_view cause) {
    // What to do, for the causes that a person in front of the converter can remedy.
    static constexpr std::pair<std::string_view, std::string_view> kAdvice[] = {
        {"the converter was unplugged", "Plug it in, press EXIT and start again."},
        {"no converter was found", "Plug the converter in, press EXIT and start again."},
        {"several converters were plugged in", "Unplug all but one, press EXIT and start again."},
        {"another update ", "Wait until it has finished, press EXIT and start again."},
    };
    std::string line(cause);
    if (line.empty()) return line;
    // A file name that opens the sentence keeps its spelling ("tmpa.hex refused: ...").
    const bool fileName = line.substr(0, line.find(' ')).find('.') != std::string::npos;
    if (!fileName && line.front() >= 'a' && line.front() <= 'z')
        line.front() = static_cast<char>(line.front() - 'a' + 'A');
    if (line.back() != '.') line += '.';
    for (const auto& [start, advice] : kAdvice)
        if (cause.substr(0, start.size()) == start) return line + " " + std::string(advice);
    return line;
}

}  // namespace quill
