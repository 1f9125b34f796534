#include "main_window.h"

#include <QtCore/QTimer>
#include <QtGui/QCloseEvent>
#include <QtGui/QIcon>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>

#include "picture_view.h"
#include "quill/front_core.h"
#include "title_button.h"

namespace quill::qt {
namespace {

// "arial" through fontconfig. Sizes are pixels: the layout's frames are measured in points at
// one pixel each, and Qt's point sizes would grow the text by the screen's dpi / 72.
QFont arial(int size) {
    QFont font(QStringLiteral("arial"));
    font.setPixelSize(size);
    return font;
}

TitleButton* makeLabel(QWidget* parent, const QString& name, QRect frame, int fontSize, Qt::Alignment alignment) {
    auto* label = new TitleButton(parent);
    label->setObjectName(name);
    label->setGeometry(frame);
    label->setFont(arial(fontSize));
    label->setTitleAlignment(alignment);
    return label;
}

}  // namespace

QRect fromBottomLeft(int x, int y, int width, int height) {
    return QRect(x, kWindowHeight - y - height, width, height);
}

MainWindow::MainWindow(QString resourceDir) : resourceDir_(std::move(resourceDir)) {
    installAccessibleFactory();
    // No maximise button; the fixed size refuses every resize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kWindowWidth, kWindowHeight);
    if (const QPixmap icon = picture(QStringLiteral("icon.png")); !icon.isNull()) setWindowIcon(QIcon(icon));

    QPalette palette = this->palette();
    const QPixmap tile = picture(QStringLiteral("bkg.bmp"));
    if (!tile.isNull()) palette.setBrush(QPalette::Window, QBrush(tile));
    setPalette(palette);
    setAutoFillBackground(true);

    bar = new PictureView(this);
    bar->setObjectName(QStringLiteral("bar"));
    bar->setGeometry(fromBottomLeft(0, -70, 640, 220));
    bar->setPicture(QStringLiteral("bar.png"), picture(QStringLiteral("bar.png")));
    bar->setAccessibleName(QStringLiteral("Banner"));

    imgORBEN = new PictureView(this);
    imgORBEN->setObjectName(QStringLiteral("imgORBEN"));
    imgORBEN->setGeometry(fromBottomLeft(0, 10, 640, 480));
    // A progress bar to screen readers, marked so before anything makes its accessible interface.
    imgORBEN->setStatusRegion();
    imgORBEN->setAccessibleName(QStringLiteral("Update status"));  // described by the refresh

    labelTop = makeLabel(this, QStringLiteral("labelTop"), fromBottomLeft(10, 310, 200, 150), 36, Qt::AlignLeft);
    labelTop->setTitle(QStringLiteral("Firmware\nUpdate\n"));

    labelVer = makeLabel(this, QStringLiteral("labelVer"), fromBottomLeft(10, 290, 200, 100), 20, Qt::AlignLeft);
    labelVer->setEmptyAccessibleName(QStringLiteral("No version"));

    labelCen = makeLabel(this, QStringLiteral("labelCen"), fromBottomLeft(245, 90, 150, 40), 28, Qt::AlignHCenter);
    labelCen->setEmptyAccessibleName(QStringLiteral("Status"));

    labelBot = makeLabel(this, QStringLiteral("labelBot"), fromBottomLeft(10, 46, 450, 20), 18, Qt::AlignLeft);
    labelBot->setTitle(QStringLiteral("Plug converter into PC, then click START"));

    labelCause = new QLabel(this);
    labelCause->setObjectName(QStringLiteral("labelCause"));
    labelCause->setGeometry(fromBottomLeft(10, 2, 495, 28));
    labelCause->setFont(arial(12));
    labelCause->setWordWrap(true);
    labelCause->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    labelCause->setAccessibleName(QStringLiteral("No failure"));  // named by its text once shown
    labelCause->hide();

    ckbox1 = new QCheckBox(QStringLiteral("Controller Compatibility Update"), this);
    ckbox1->setObjectName(QStringLiteral("ckbox1"));
    ckbox1->setGeometry(fromBottomLeft(10, 19, 500, 20));
    ckbox1->setFont(arial(18));
    ckbox1->setFocusPolicy(Qt::StrongFocus);
    ckbox1->installEventFilter(this);

    startBtn = makeLabel(this, QStringLiteral("startBtn"), fromBottomLeft(510, 15, 119, 53), 18, Qt::AlignHCenter);
    startBtn->setFace(picture(QStringLiteral("button_red.png")));
    startBtn->setTitle(QStringLiteral("START"));
    startBtn->setPressable();
    setTabOrder(ckbox1, startBtn);

    menuOwner_ = std::make_unique<QComboBox>();
    menu1 = menuOwner_.get();
    menu1->setObjectName(QStringLiteral("menu1"));
    menu1->setGeometry(fromBottomLeft(510, 70, 119, 50));
    for (std::string_view title : kMenuTitles) menu1->addItem(QString::fromUtf8(title.data(), qsizetype(title.size())));
    menu1->setCurrentIndex(kMenuInitialIndex);

    pbarOwner_ = std::make_unique<QProgressBar>();
    pbar = pbarOwner_.get();
    pbar->setObjectName(QStringLiteral("pbar"));
    pbar->setGeometry(fromBottomLeft(170, 73, 300, 30));
    pbar->setRange(0, 100);
    pbar->setValue(0);
}

MainWindow::~MainWindow() = default;

QPixmap MainWindow::picture(const QString& name) {
    auto cached = pictures_.constFind(name);
    if (cached != pictures_.constEnd()) return *cached;
    QPixmap loaded(resourceDir_ + QLatin1Char('/') + name);
    pictures_.insert(name, loaded);
    return loaded;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (mayClose && !mayClose()) {
        event->ignore();
        if (closeRefused) closeRefused();
        return;
    }
    event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ckbox1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) && key->modifiers() == Qt::NoModifier) {
            ckbox1->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void MainWindow::changeEvent(QEvent* event) {
    // Zoom is refused: a maximised or full-screen request falls back to the normal state.
    if (event->type() == QEvent::WindowStateChange && (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        QTimer::singleShot(0, this,
                           [this] { setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen)); });
    }
    QWidget::changeEvent(event);
}

}  // namespace quill::qt
