// Quillmere: the converter's firmware updater window.
#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyleFactory>

#include <cstdio>
#include <memory>

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

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer sinceMain;
    sinceMain.start();
    // --help and --version answer before a display is opened (a headless shell has none).
    QStringList plainArguments;
    for (int i = 0; i < argc; ++i) plainArguments << QString::fromLocal8Bit(argv[i]);
    QString ignored;
    if (const auto early = quill::qt::parseLaunchOptions(plainArguments, ignored); early && !early->answer.isEmpty()) {
        std::fputs(qPrintable(early->answer), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QString error;
    const auto options = quill::qt::parseLaunchOptions(QApplication::arguments(), error);
    if (!options) {
        std::fprintf(stderr, "Quillmere: %s\n", qPrintable(error));
        return 2;
    }
    if (!options->answer.isEmpty()) {
        std::fputs(qPrintable(options->answer), stdout);
        return 0;
    }
    // A logout, a shutdown or Ctrl-C ends the update in an orderly way (its record says so).
    if (!quill::qt::EndSignals::instance().install())
        std::fprintf(stderr, "Quillmere: cannot watch for SIGTERM, SIGHUP and SIGINT; they end Quillmere at once\n");
    const quill::TimeScale scale = quill::timeScaleFromEnvironment();
    if (scale.complaint) std::fprintf(stderr, "Quillmere: %s\n", scale.complaint->c_str());

    const quill::BundleLayout layout = quill::locateBundle(QApplication::applicationFilePath().toStdString());
    quill::qt::AppDelegate delegate(layout, options->port, scale.factor);
    // A demo or a test drives the window; a person's run has no such object.
    std::unique_ptr<quill::qt::ScriptedRun> script;
    if (options->script.any()) script = std::make_unique<quill::qt::ScriptedRun>(delegate, options->script);
    QObject::connect(
        &delegate, &quill::qt::AppDelegate::terminateRequested, &app, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);

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
