#pragma once
// The signals that would end the program by default and that someone may send (a logout, a
// shutdown, Ctrl-C, Ctrl-\, kill -USR1, a resource limit) as events of the loop. The handler only
// notes the first signal and wakes the loop through a pipe; the window or quillmere-cli then ends
// the tool run in flight, closes the update's record and quits with 128 + the signal's number, so
// only SIGKILL (or a power cut) can leave a record at "running".
#include <QtCore/QObject>

#include <string>

class QSocketNotifier;

namespace quill::qt {

class EndSignals : public QObject {
    Q_OBJECT
public:
    // The one instance. Handlers are installed by install() only, so tests that never call it
    // see no signal.
    static EndSignals& instance();
    // Installs the handlers (once); false when the wake-up pipe cannot be made.
    bool install();
    // The first of those signals received so far, 0 for none. Safe to read at any time: the
    // handler sets it before anything else, so a tool run that ends just then is still seen as
    // interrupted.
    static int received();
    // A signal's name: "SIGTERM", "SIGSEGV", ...
    static std::string name(int signal);

signals:
    // Emitted from the event loop, once per wake-up, after received() has been set.
    void arrived(int signal);

private:
    EndSignals() = default;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quill::qt
