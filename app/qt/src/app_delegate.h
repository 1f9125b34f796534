#pragma once
// The application delegate: builds the window, runs the 0.2 s status refresh, and gives the
// toolkit-free core its ports (tool runner, alerts, pauses, log, sequence effects). A demo or a
// test drives it from outside (ScriptedRun), through refreshed() and leaveAlertsUnattended().
#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtCore/QStringList>
#include <QtCore/QTimer>

#include <functional>
#include <memory>
#include <optional>

class QMessageBox;

#include "device_holder.h"
#include "quill/bundle.h"
#include "quill/converter_lock.h"
#include "quill/front_core.h"

namespace quill::qt {

class MainWindow;
class ProcessToolRunner;
class UpdateFolder;

class AppDelegate : public QObject, private Alerts, private Clock, private Log, private SequenceView {
    Q_OBJECT
public:
    // port: the USB port an update is limited to (--port), empty for none.
    AppDelegate(const BundleLayout& layout, const std::string& port, double timeScale);
    ~AppDelegate() override;

    MainWindow& window() { return *window_; }
    FrontCore& core() { return *core_; }

    // One turn of the status refresh (the 0.2 s timer calls it).
    void onTimer1();
    // START / FINISH / EXIT.
    void onClick1();
    // Service pop-up choice.
    void onChangeMenu1(int index);

    // Title colours.
    void setButtonWhite(QWidget* control);
    void setButtonGray(QWidget* control);
    void setColor1();
    void setColor2();

    // Every alert and notice shown so far, in order.
    const QStringList& messagesShown() const { return messagesShown_; }
    // Nobody is in front of the window: alerts and notices are printed, and no box waits for OK.
    void leaveAlertsUnattended() { alertsUnattended_ = true; }

    // A line for standard output, also kept in the update's record.
    void printLine(const QString& line);
    // A line for standard error, also kept in the update's record (the core's Log).
    void log(const std::string& line) override;

signals:
    // FINISH / EXIT pressed after an update: 0 when it completed, 1 when it failed; told to end
    // by a signal (EndSignals): 128 + its number, once the action running has stopped.
    void terminateRequested(int exitCode);
    // One turn of the status refresh has drawn what it changed.
    void refreshed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Alerts
    void alertA(const std::string& text) override;
    // Clock
    void pause(std::chrono::microseconds duration) override;
    // Log
    void trace(const std::string& text) override;
    void phase(const std::string& name) override;
    void firmwareRead(const std::string& name, const std::optional<std::string>& bytes,
                      const std::string& why) override;
    // SequenceView
    void showRunningScreen() override;
    void showStartButton() override;
    void terminateApp() override;
    bool compatibilityTicked() const override;

    void applyRefresh(const Refresh& refresh);
    void reportScreen();
    void showStatusPicture(const QString& name);
    void showOutcome();
    void showNotice(const QString& text);
    // Runs one update or service action with its record folder.
    void recorded(const std::string& action, const std::function<void()>& run);
    // A signal that ends the program arrived (EndSignals).
    void onEndSignal(int signal);

    BundleLayout layout_;
    std::string version_;
    std::unique_ptr<UpdateFolder> record_;  // while an update or service action runs
    std::unique_ptr<ProcessToolRunner> runner_;
    ActionHolder holder_;  // tavik-hold for the converter an action pinned, during that action
    // Keeps other updaters off the converter an action works on.
    FileConverterLock lock_{"Quillmere"};
    std::unique_ptr<MainWindow> window_;
    std::unique_ptr<FrontCore> core_;
    QTimer timer_;
    QStringList messagesShown_;
    QPointer<QMessageBox> notice_;    // the open close-refusal notice, if any
    QPointer<QMessageBox> alertBox_;  // the open alert, if any
    QString lastScreen_;
    QString outcome_;  // the outcome last given to screen readers
    bool alertsUnattended_ = false;
};

}  // namespace quill::qt
