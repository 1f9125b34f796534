#include "scripted_run.h"

#include <QtCore/QDir>
#include <QtCore/QTimer>
#include <QtGui/QScreen>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>

#include <utility>

#include "app_delegate.h"
#include "main_window.h"
#include "title_button.h"

namespace quill::qt {

ScriptedRun::ScriptedRun(AppDelegate& delegate, ScriptedRunOptions options)
    : delegate_(delegate), options_(std::move(options)) {
    if (options_.autoAlert) delegate_.leaveAlertsUnattended();
    connect(&delegate_, &AppDelegate::refreshed, this, &ScriptedRun::onRefreshed);
}

void ScriptedRun::onRefreshed() {
    const FrontCore& core = delegate_.core();
    MainWindow& window = delegate_.window();
    const int status = core.state().STATUS_OF_PNG;
    const bool rendered = core.state().LAST_STATUS_OF_PNG == status;

    if (!idleSeen_ && status == kStatusIdle && rendered) {
        idleSeen_ = true;
        saveScreenshot(QStringLiteral("idle.png"));
        if (options_.autoStart) {
            QTimer::singleShot(0, this, [this, &window] {
                if (options_.tick) window.ckbox1->setChecked(true);
                window.startBtn->click();
            });
        }
    }
    if (core.isRunning() && rendered && status >= 0 && status <= kStatusLastProgress) {
        if (!runningShotTaken_) {
            runningShotTaken_ = true;
            saveScreenshot(QStringLiteral("running.png"));
        } else if (!runningShotAtHalf_ && status >= 10) {
            runningShotAtHalf_ = true;
            saveScreenshot(QStringLiteral("running.png"));
        }
    }
    const bool ended = status >= kStatusComplete || status == kStatusFailed;
    if (ended && rendered && !finishHandled_ && !core.isRunning() && !window.startBtn->isHidden()) {
        finishHandled_ = true;
        saveScreenshot(QStringLiteral("finished.png"));
        if (options_.autoFinish) QTimer::singleShot(0, this, [&window] { window.startBtn->click(); });
    }
}

void ScriptedRun::saveScreenshot(const QString& name) {
    if (options_.screenshotDir.isEmpty()) return;
    QDir().mkpath(options_.screenshotDir);
    const QString path = QDir(options_.screenshotDir).filePath(name);
    MainWindow& window = delegate_.window();
    // On a real display read back the pixels the server shows; elsewhere render the window.
    QPixmap shot;
    if (QGuiApplication::platformName() == QLatin1String("xcb") && window.isVisible() && window.screen()) {
        window.repaint();
        shot = window.screen()->grabWindow(window.winId());
    }
    if (shot.isNull()) shot = window.grab();
    if (!shot.save(path)) {
        delegate_.log("cannot save screenshot " + path.toStdString());
        return;
    }
    // What was written, read back: a grab of an unmapped or unpainted window is one flat colour.
    if (const auto colour = singleColour(QImage(path))) {
        delegate_.printLine(QStringLiteral("SCREENSHOT BLANK: %1 is all one colour (%2)")
                                .arg(path, QColor::fromRgba(*colour).name(QColor::HexArgb)));
        return;
    }
    delegate_.printLine(QStringLiteral("SCREENSHOT: ") + path);
}

std::optional<QRgb> singleColour(const QImage& image) {
    if (image.isNull()) return QRgb(0);
    const QImage pixels = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb first = pixels.pixel(0, 0);
    for (int y = 0; y < pixels.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        for (int x = 0; x < pixels.width(); ++x)
            if (line[x] != first) return std::nullopt;
    }
    return first;
}

}  // namespace quill::qt
