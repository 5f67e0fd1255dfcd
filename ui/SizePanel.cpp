#include "SizePanel.h"

#include <QGridLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>

namespace cv {

SizePanel::SizePanel(QWidget* parent, int width, int sizeBarWidth)
    : QWidget(parent), barWidth_(sizeBarWidth) {
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(barWidth_, 0, 0, 0);
    layout->setSpacing(0);
    setFixedWidth(width);
    setMouseTracking(true);
}

void SizePanel::setLockBar(bool locked) {
    locked_ = locked;
    dragging_ = false;
    unsetCursor();
}

void SizePanel::setPanelWidth(int width) { setFixedWidth(qMax(barWidth_, width)); }

QRect SizePanel::clientArea() const { return rect().adjusted(barWidth_, 0, 0, 0); }

void SizePanel::addClientWidget(QWidget* widget) {
    widget->setParent(this);
    static_cast<QGridLayout*>(layout())->addWidget(widget, 0, 0);
    widget->raise();
}

void SizePanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect bar(0, 0, barWidth_, height());
    painter.fillRect(bar, palette().color(QPalette::Window));
    // A grip of three dots in the middle of the bar.
    painter.setPen(palette().color(QPalette::Mid));
    const int x = barWidth_ / 2;
    for (int i = -1; i <= 1; ++i) {
        painter.drawPoint(x, height() / 2 + i * 4);
    }
    painter.setPen(palette().color(QPalette::Midlight));
    painter.drawLine(barWidth_ - 1, 0, barWidth_ - 1, height() - 1);
}

void SizePanel::mousePressEvent(QMouseEvent* event) {
    if (!locked_ && event->button() == Qt::LeftButton && event->position().x() < barWidth_) {
        dragging_ = true;
        dragStartX_ = qRound(event->globalPosition().x());
        dragStartWidth_ = width();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void SizePanel::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        // Aligned right: dragging the bar to the left widens the panel.
        int width = dragStartWidth_ - (qRound(event->globalPosition().x()) - dragStartX_);
        if (parentWidget() != nullptr) {
            width = qMin(width, parentWidget()->width());
        }
        setPanelWidth(width);
        event->accept();
        return;
    }
    if (!locked_ && event->position().x() < barWidth_) {
        setCursor(Qt::SplitHCursor);
    } else {
        unsetCursor();
    }
    QWidget::mouseMoveEvent(event);
}

void SizePanel::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_ && event->button() == Qt::LeftButton) {
        dragging_ = false;
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

}  // namespace cv
