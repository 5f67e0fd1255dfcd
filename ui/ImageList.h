// A list of 16x16 tree pictures addressed by index, like the frame's `imglstTreeView`:
// picture 0 a department, picture 1 a person.
#pragma once

#include <QHash>
#include <QIcon>
#include <QList>
#include <QPixmap>

namespace cv {

class ImageList {
public:
    ImageList() = default;
    explicit ImageList(QList<QPixmap> pictures) : pictures_(std::move(pictures)) {}

    // The library's own tree pictures, drawn once: 0 department, 1 person.
    static ImageList treePictures();

    int count() const { return pictures_.size(); }
    QPixmap picture(int index) const { return pictures_.value(index); }
    // An icon showing `normal` and, while its node is selected, `selected`; a null icon when
    // `normal` is out of range. A `selected` out of range shows `normal` when selected.
    QIcon icon(int normal, int selected) const;

private:
    QList<QPixmap> pictures_;
    mutable QHash<quint64, QIcon> icons_;
};

}  // namespace cv
