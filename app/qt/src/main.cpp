// Quillmere: the converter's firmware updater window.
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyleFactory>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "app_delegate.h"
#include "end_signals.h"
#include "launch_options.h"
#include "main_window.h"
#include "quill/bundle.h"
#include "quill/time_scale.h"
#include "scripted_run.h"

namespace {

// QUILLMERE_FIRST_FRAME=1 (start-up measurement): once the window has painted for the first time,
// print "FIRST FRAME: <ms since main> ms" and quit.
class FirstFrameProbe : public QObject {
public:
    explicit FirstFrameProbe(const QElapsedTimer& sinceMain) : sinceMain_(sinceMain) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, this, [this] {
                std::printf("FIRST FRAME: %.1f ms\n", static_cast<double>(sinceMain_.nsecsElapsed()) / 1e6);
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QElapsedTimer& sinceMain_;
    bool seen_ = false;
};

// Where the window could be shown: nullopt when a display back end may be tried, else the line
// that says why not. Qt would otherwise abort (status 134) while QApplication is made.
std::optional<QString> missingDisplay(const QStringList& arguments) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !quill::qt::platformArgument(arguments).isEmpty())
        return std::nullopt;  // the back end was chosen; whether it starts is seen in QApplication
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || !qEnvironmentVariableIsEmpty("DISPLAY")) return std::nullopt;
    return QStringLiteral(
        "no display to show the window on: neither WAYLAND_DISPLAY nor DISPLAY is set (start it "
        "from a desktop session, or update from a terminal with quillmere-cli)");
}

// While QApplication is made: Qt's messages are held back, and its fatal "no Qt platform plugin
// could be initialized" becomes one line and exit status 2 instead of an abort.
struct HeldMessage {
    QtMsgType type;
    const char* file;
    int line;
    const char* function;
    const char* category;  // logging category names are static strings
    QString text;
};
QtMessageHandler previousHandler = nullptr;
QList<HeldMessage>* heldMessages = nullptr;
QString requestedPlatform;

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) {
        // The first thing Qt's platform code said tells why ("could not connect to display :1").
        QString why;
        for (const HeldMessage& held : heldMessages ? *heldMessages : QList<HeldMessage>())
            if (held.category && QByteArray(held.category).startsWith("qt.qpa") && why.isEmpty())
                why = QStringLiteral(" (Qt: %1)").arg(held.text.simplified());
        std::fprintf(stderr,
                     "Quillmere: no usable display back end: Qt could not start %s%s; for Wayland install "
                     "qt6-wayland, for X11 check that DISPLAY names a running server; quillmere-cli updates "
                     "without a window\n",
                     qPrintable(requestedPlatform), qPrintable(why));
        std::fflush(stderr);
        std::_Exit(2);
    }
    if (heldMessages)
        heldMessages->append({type, context.file, context.line, context.function, context.category, text});
    else if (previousHandler)
        previousHandler(type, context, text);
}

// Made from argc and argv as QApplication wants them; a back end that cannot start ends the process.
std::unique_ptr<QApplication> makeApplication(int& argc, char** argv, const QStringList& arguments) {
    QString platform = quill::qt::platformArgument(arguments);
    if (platform.isEmpty()) platform = qEnvironmentVariable("QT_QPA_PLATFORM");
    requestedPlatform = platform.isEmpty() ? QStringLiteral("its default platform plugin")
                                           : QStringLiteral("the platform plugin \"%1\"").arg(platform);
    QList<HeldMessage> held;
    heldMessages = &held;
    previousHandler = qInstallMessageHandler(holdMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previousHandler);
    heldMessages = nullptr;
    for (const HeldMessage& message : held) {
        const QMessageLogContext context(message.file, message.line, message.function, message.category);
        qt_message_output(message.type, context, message.text);
    }
    return app;
}

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    // The command line is read before a display is opened: --help, --version and a usage error
    // answer without one.
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    QString error;
    const auto options = quill::qt::parseLaunchOptions(arguments, error);
    if (!options) {
        std::fprintf(stderr, "Quillmere: %s\nTry 'Quillmere --help' for the options.\n", qPrintable(error));
        return 2;
    }
    if (!options->answer.isEmpty()) {
        std::fputs(qPrintable(options->answer), stdout);
        return 0;
    }
    if (const auto problem = missingDisplay(arguments)) {
        std::fprintf(stderr, "Quillmere: %s\n", qPrintable(*problem));
        return 2;
    }
    const std::unique_ptr<QApplication> app = makeApplication(argc, argv, arguments);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    // The app id (Wayland) names the menu entry, whose icon and name the desktop then shows; on X11
    // the window's class is the application name, the entry's StartupWMClass.
    QGuiApplication::setDesktopFileName(QStringLiteral(QM_DESKTOP_ID));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    // A logout, a shutdown or Ctrl-C ends the update in an orderly way (its record says so).
    if (!quill::qt::EndSignals::instance().install())
        std::fprintf(
            stderr,
            "Quillmere: cannot watch for the signals that end it (SIGTERM, SIGINT, ...); they end Quillmere at once\n");
    const quill::TimeScale scale = quill::timeScaleFromEnvironment();
    if (scale.complaint) std::fprintf(stderr, "Quillmere: %s\n", scale.complaint->c_str());

    const quill::BundleLayout layout = quill::locateBundle(QApplication::applicationFilePath().toStdString());
    quill::qt::AppDelegate delegate(layout, options->port, scale.factor);
    // A demo or a test drives the window; a person's run has no such object.
    std::unique_ptr<quill::qt::ScriptedRun> script;
    if (options->script.any()) script = std::make_unique<quill::qt::ScriptedRun>(delegate, options->script);
    QObject::connect(
        &delegate, &quill::qt::AppDelegate::terminateRequested, app.get(),
        [](int code) { QCoreApplication::exit(code); }, Qt::QueuedConnection);

    // The window's frame is placed 300 px from the screen's left and bottom edges.
    quill::qt::MainWindow& window = delegate.window();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.left() + 300, std::max(area.top(), area.bottom() + 1 - 300 - window.height()));
    }
    FirstFrameProbe firstFrame(sinceMain);
    if (qEnvironmentVariable("QUILLMERE_FIRST_FRAME") == QLatin1String("1")) window.installEventFilter(&firstFrame);
    window.show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        window.raise();
        window.activateWindow();  // in front of other applications
    }
    const int code = QApplication::exec();
    std::fflush(stdout);
    return code;
}
