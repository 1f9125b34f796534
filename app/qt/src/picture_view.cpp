#include "picture_view.h"

#include <QtGui/QPainter>

namespace quill::qt {

PictureView::PictureView(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_TransparentForMouseEvents); }

void PictureView::setPicture(const QString& name, const QPixmap& picture) {
    name_ = name;
    picture_ = picture;
    update();
}

void PictureView::paintEvent(QPaintEvent*) {
    if (picture_.isNull()) return;
    QSize size = picture_.size();
    if (size.width() > width() || size.height() > height()) size.scale(this->size(), Qt::KeepAspectRatio);
    const QRect target(QPoint((width() - size.width()) / 2, (height() - size.height()) / 2), size);
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(target, picture_);
}

}  // namespace quill::qt
