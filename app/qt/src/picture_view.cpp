#include "picture_view.h"

#include <QtGui/QPainter>
#include <QtWidgets/QAccessibleWidget>

#include "quill/front_state.h"

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

namespace {

class StatusAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit StatusAccessible(PictureView* view) : QAccessibleWidget(view, QAccessible::ProgressBar) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QString text(QAccessible::Text kind) const override {
        if (kind == QAccessible::Value) return QAccessibleWidget::text(QAccessible::Description);
        return QAccessibleWidget::text(kind);
    }
    QVariant currentValue() const override {
        const std::string name = static_cast<const PictureView*>(widget())->pictureName().toStdString();
        const std::optional<int> status = statusShownBy(name);
        return status ? progressPercent(*status).value_or(0) : 0;
    }
    void setCurrentValue(const QVariant&) override {}  // shown, not set
    QVariant maximumValue() const override { return 100; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 5; }
};

}  // namespace

QAccessibleInterface* pictureAccessible(PictureView* view) {
    if (view->isStatusRegion()) return new StatusAccessible(view);
    return new QAccessibleWidget(view, QAccessible::Graphic);
}

}  // namespace quill::qt
