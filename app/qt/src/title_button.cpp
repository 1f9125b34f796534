#include "title_button.h"

#include <QtGui/QAccessible>
#include <QtGui/QKeyEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QAccessibleWidget>
#include <QtWidgets/QStyle>
#include <QtWidgets/QStyleOptionFocusRect>

#include "picture_view.h"

namespace quill::qt {

TitleButton::TitleButton(QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    setFocusPolicy(Qt::NoFocus);
    setAutoDefault(false);
    setTitleColour(defaultTitleColour());
}

void TitleButton::setTitle(const QString& title) {
    setText(title);
    setTitleColour(defaultTitleColour());
}

void TitleButton::setPressable() {
    setFocusPolicy(Qt::StrongFocus);
    // A screen reader's view made while this was a label would stay one: it is made anew.
    if (QAccessibleInterface* label = QAccessible::queryAccessibleInterface(this))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(label));
}

QString TitleButton::accessibleTitle() const {
    const QString title = text().simplified();
    return title.isEmpty() ? emptyName_ : title;
}

void TitleButton::keyPressEvent(QKeyEvent* event) {
    // Enter presses a focused button as Space does (a plain push button outside a dialog
    // ignores it).
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && event->modifiers() == Qt::NoModifier &&
        hasFocus()) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void TitleButton::setTitleColour(const QColor& colour) {
    QPalette palette = this->palette();
    palette.setColor(QPalette::ButtonText, colour);
    setPalette(palette);
}

QColor TitleButton::titleColour() const { return palette().color(QPalette::ButtonText); }

void TitleButton::setTitleAlignment(Qt::Alignment horizontal) {
    alignment_ = horizontal & Qt::AlignHorizontal_Mask;
    update();
}

void TitleButton::setFace(const QPixmap& face) {
    face_ = face;
    update();
}

void TitleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!face_.isNull()) {
        painter.drawPixmap(rect(), face_);
        // A pressed face darkens a little, as a bezel-less button does.
        if (isDown()) painter.fillRect(rect(), QColor(0, 0, 0, 50));
    }
    painter.setFont(font());
    painter.setPen(titleColour());
    painter.drawText(rect(), int(alignment_ | Qt::AlignVCenter), text());
    if (hasFocus() && window()->testAttribute(Qt::WA_KeyboardFocusChange)) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

namespace {

class LabelAccessible : public QAccessibleWidget {
public:
    explicit LabelAccessible(TitleButton* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Name) return static_cast<const TitleButton*>(widget())->accessibleTitle();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* windowAccessible(const QString&, QObject* object) {
    if (auto* label = dynamic_cast<TitleButton*>(object); label && label->focusPolicy() == Qt::NoFocus)
        return new LabelAccessible(label);
    if (auto* picture = dynamic_cast<PictureView*>(object)) return pictureAccessible(picture);
    return nullptr;
}

}  // namespace

void installAccessibleFactory() {
    static const bool installed = [] {
        QAccessible::installFactory(windowAccessible);
        return true;
    }();
    static_cast<void>(installed);
}

}  // namespace quill::qt
