#include "title_button.h"

#include <QtGui/QPainter>

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
}

}  // namespace quill::qt
