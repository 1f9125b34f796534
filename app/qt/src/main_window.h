#pragma once
// The one fixed-size window and its widgets, built once in their stacking order.
#include <QtCore/QHash>
#include <QtCore/QString>
#include <QtGui/QPixmap>
#include <QtWidgets/QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;

namespace quill::qt {

class PictureView;
class TitleButton;

inline constexpr int kWindowWidth = 640;
inline constexpr int kWindowHeight = 480;

// A frame measured from the content area's bottom-left corner, in Qt's top-left coordinates.
QRect fromBottomLeft(int x, int y, int width, int height);

class MainWindow : public QWidget {
public:
    explicit MainWindow(QString resourceDir);
    ~MainWindow() override;

    // A picture resource by name; a missing file gives a null pixmap (nothing is drawn).
    QPixmap picture(const QString& name);

    PictureView* bar = nullptr;
    PictureView* imgORBEN = nullptr;
    TitleButton* labelTop = nullptr;
    TitleButton* labelVer = nullptr;
    TitleButton* labelCen = nullptr;
    TitleButton* labelBot = nullptr;
    // Why an update failed, below the failure text; hidden until then.
    QLabel* labelCause = nullptr;
    QCheckBox* ckbox1 = nullptr;
    TitleButton* startBtn = nullptr;
    // Built and wired but never placed in the window.
    QComboBox* menu1 = nullptr;
    QProgressBar* pbar = nullptr;

    // Asked before the window closes; a refusal calls closeRefused instead.
    std::function<bool()> mayClose;
    std::function<void()> closeRefused;

protected:
    void closeEvent(QCloseEvent* event) override;
    // Enter ticks or clears the focused check box, as Space does.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    QString resourceDir_;
    QHash<QString, QPixmap> pictures_;
    std::unique_ptr<QComboBox> menuOwner_;
    std::unique_ptr<QProgressBar> pbarOwner_;
};

}  // namespace quill::qt
