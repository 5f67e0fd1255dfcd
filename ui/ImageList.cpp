#include "ImageList.h"

#include <QPainter>
#include <QPainterPath>

namespace cv {

namespace {

constexpr int PictureSize = 16;

QPixmap blankPicture() {
    QPixmap pixmap(PictureSize, PictureSize);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

// A small office building: a blue block with two rows of windows and a door.
QPixmap departmentPicture() {
    QPixmap pixmap = blankPicture();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(0x1F, 0x4E, 0x8C));
    p.setBrush(QColor(0x5B, 0x9B, 0xD5));
    p.drawRect(2, 3, 11, 11);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1F, 0x4E, 0x8C));
    p.drawRect(1, 1, 14, 2);
    p.setBrush(QColor(0xFF, 0xF2, 0xB3));
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 3; ++column) {
            p.drawRect(4 + column * 3, 5 + row * 3, 2, 2);
        }
    }
    p.setBrush(QColor(0x7A, 0x4A, 0x1E));
    p.drawRect(7, 11, 2, 3);
    return pixmap;
}

// A person: head and shoulders.
QPixmap personPicture() {
    QPixmap pixmap = blankPicture();
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(0x2E, 0x6B, 0x2E), 1));
    p.setBrush(QColor(0x6C, 0xBF, 0x5A));
    QPainterPath shoulders;
    shoulders.moveTo(2.5, 15.5);
    shoulders.cubicTo(2.5, 10.0, 13.5, 10.0, 13.5, 15.5);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
    p.setPen(QPen(QColor(0x8C, 0x5A, 0x2B), 1));
    p.setBrush(QColor(0xF6, 0xC9, 0x9B));
    p.drawEllipse(QRectF(4.5, 1.5, 7, 7.5));
    return pixmap;
}

}  // namespace

ImageList ImageList::treePictures() { return ImageList({departmentPicture(), personPicture()}); }

QIcon ImageList::icon(int normal, int selected) const {
    if (normal < 0 || normal >= pictures_.size()) {
        return {};
    }
    if (selected < 0 || selected >= pictures_.size()) {
        selected = normal;
    }
    const quint64 key = (quint64(quint32(normal)) << 32) | quint32(selected);
    auto found = icons_.constFind(key);
    if (found != icons_.cend()) {
        return *found;
    }
    QIcon icon;
    icon.addPixmap(pictures_[normal], QIcon::Normal);
    icon.addPixmap(pictures_[selected], QIcon::Selected);
    icons_.insert(key, icon);
    return icon;
}

}  // namespace cv
