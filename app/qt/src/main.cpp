// Quillmere: the converter's firmware updater window.
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyleFactory>

#include <cstdio>

#include "app_delegate.h"
#include "launch_options.h"
#include "main_window.h"
#include "quill/bundle.h"
#include "quill/time_scale.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmere"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    QString error;
    const auto options = quill::qt::parseLaunchOptions(QApplication::arguments(), error);
    if (!options) {
        std::fprintf(stderr, "Quillmere: %s\n", qPrintable(error));
        return 2;
    }
    const quill::TimeScale scale = quill::timeScaleFromEnvironment();
    if (scale.complaint) std::fprintf(stderr, "Quillmere: %s\n", scale.complaint->c_str());

    const quill::BundleLayout layout = quill::locateBundle(QApplication::applicationFilePath().toStdString());
    quill::qt::AppDelegate delegate(layout, *options, scale.factor);
    QObject::connect(&delegate, &quill::qt::AppDelegate::terminateRequested, &app,
                     [](int code) { QCoreApplication::exit(code); }, Qt::QueuedConnection);

    // The window's frame is placed 300 px from the screen's left and bottom edges.
    quill::qt::MainWindow& window = delegate.window();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.left() + 300, std::max(area.top(), area.bottom() + 1 - 300 - window.height()));
    }
    window.show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        window.raise();
        window.activateWindow();  // in front of other applications
    }
    const int code = QApplication::exec();
    std::fflush(stdout);
    return code;
}
