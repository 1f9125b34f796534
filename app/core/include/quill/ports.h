#pragma once
// The small interfaces through which the front-end core reaches the world. The window layer
// implements them with the toolkit; the unit tests implement them with scripts and a virtual
// clock.
#include <chrono>
#include <optional>
#include <string>

namespace quill {

// How one run of the tool ended. Only Exited can prove anything: what a run printed before it was
// killed or crashed is no answer.
enum class RunEnd {
    Exited,         // the tool ran to its end by itself with exit status 0; output holds all it printed
    TimedOut,       // the run reached its time limit and was killed; output holds what came before
    FailedToStart,  // the tool could not be started (missing, not executable); output is empty
    Interrupted,    // the application was told to end (a signal): the run was killed or never
                    // started; reason names the signal ("SIGTERM")
    Crashed,        // the tool ended by a signal nobody sent it (reason: "SIGSEGV"), or with an exit
                    // status other than 0 (reason: "exit status 3")
};

struct RunResult {
    RunEnd end = RunEnd::Exited;
    std::string output;       // standard output decoded as UTF-8 (never left unset)
    std::string reason;       // FailedToStart: why, in the platform's words (e.g. "No such file");
                              // Interrupted: the signal's name; Crashed: the signal or exit status
    std::string errorOutput;  // standard error decoded as UTF-8 (the runner passes it on as well)
};

// Runs the tool once with exactly one argument (no shell) and returns when it has exited or has
// been killed at `timeLimit`. The limit is already scaled by the time factor. While waiting, the
// window keeps turning its event loop so the status refresh goes on.
class ToolRunner {
public:
    virtual ~ToolRunner() = default;
    virtual RunResult runCmd(const std::string& argument, std::chrono::milliseconds timeLimit) = 0;
    // Optional hint, given just before runCmd(): the run after that one will most likely have
    // the argument `next`. A runner may start that process early, provided it holds it back from
    // everything, the device above all, until runCmd() asks for that very argument; a process
    // prepared but not asked for next ends unused. Default: ignored.
    virtual void expectNext(const std::string& next) { static_cast<void>(next); }
    // Full path of the tool, for the alert that says it cannot be started.
    virtual std::string toolPath() const = 0;
    // Runs the tool's "ports" word, which lists the converters present with their USB ports,
    // opening none. nullopt: this runner cannot list them (then no action may start).
    virtual std::optional<RunResult> listConverters(std::chrono::milliseconds timeLimit) {
        static_cast<void>(timeLimit);
        return std::nullopt;
    }
    // Every later run, and the device holder, is given this USB port (TAVIK_PORT), so that only
    // the converter there is ever opened; empty: none, the tool opens what it finds. Called at
    // the start of every action, before anything reaches the device.
    virtual void pinPort(const std::string& port) { static_cast<void>(port); }
};

// One updater per converter. An action takes the lock of the converter it pinned (by its USB port), or
// the host's lock for unpinned updates, before its first device run and keeps it until the action
// ends. A lock dies with the process that holds it, so none outlives a crash or a kill -9.
struct LockAttempt {
    enum class Status {
        Taken,   // held until release()
        Busy,    // another updater holds it: `holder` names it ("quillmere-cli, process 4242"), `port`
                 // the USB port it holds (empty: it updates without a chosen converter)
        Failed,  // no lock could be had: `why` says why; the action must not go on
    };
    Status status = Status::Taken;
    std::string holder;
    std::string port;
    std::string why;
};

class ConverterLock {
public:
    virtual ~ConverterLock() = default;
    // Takes the lock for the converter on `port` (empty: the host's lock for an unpinned update),
    // without waiting; a lock this object held before is released first.
    virtual LockAttempt acquire(const std::string& port) = 0;
    // Lets go of the lock held, if any.
    virtual void release() = 0;
};

// A modal message box with one button; returns when the user has dismissed it.
class Alerts {
public:
    virtual ~Alerts() = default;
    virtual void alertA(const std::string& text) = 0;
};

// Fixed pauses of the sequence (already scaled). The window stays painted meanwhile.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void pause(std::chrono::microseconds duration) = 0;
};

// log(): one line to the system log. trace(): diagnostic text for standard output, written as
// given (it carries its own line feeds).
class Log {
public:
    virtual ~Log() = default;
    virtual void log(const std::string& line) = 0;
    virtual void trace(const std::string& text) = 0;
    // The update enters its next phase (named for the update record's timings).
    virtual void phase(const std::string& name) { static_cast<void>(name); }
    // The action read a firmware file ("tmpa.hex"), once: `bytes` as read (all it sends comes
    // from them), or nullopt and why it could not be read.
    virtual void firmwareRead(const std::string& /*name*/, const std::optional<std::string>& /*bytes*/,
                              const std::string& /*why*/) {}
};

// The widget effects of the START action. Every text and frame is fixed by the core's
// constants (front_core.h).
class SequenceView {
public:
    virtual ~SequenceView() = default;
    // imgORBEN hidden, set to kRunningPicture, shown; labelBot titled kRunningBottomText,
    // moved to kRunningBottomFrame and made white; ckbox1 and startBtn hidden.
    virtual void showRunningScreen() = 0;
    // startBtn shown again (the next refresh retitles it).
    virtual void showStartButton() = 0;
    // End the application (FINISH / EXIT pressed).
    virtual void terminateApp() = 0;
    // ckbox1's state: true when ticked (also read while the box is hidden).
    virtual bool compatibilityTicked() const = 0;
};

}  // namespace quill
