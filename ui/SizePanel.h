// A side panel aligned to the right edge of its parent, with a size bar along its left edge
// by which the user drags its width, unless the bar is locked. The bar is part of the
// panel's width; client widgets fill the area right of it, all overlapping there like
// controls aligned to the client area; hidden ones take no part.
#pragma once

#include <QWidget>

namespace cv {

class SizePanel : public QWidget {
    Q_OBJECT

public:
    explicit SizePanel(QWidget* parent = nullptr, int width = 214, int sizeBarWidth = 7);

    void setLockBar(bool locked);
    bool lockBar() const { return locked_; }
    // The panel's width, size bar included.
    void setPanelWidth(int width);
    int panelWidth() const { return width(); }
    int sizeBarWidth() const { return barWidth_; }
    // The area right of the size bar, in the panel's coordinates.
    QRect clientArea() const;
    // Makes `widget` a child filling the client area; widgets added later lie in front.
    void addClientWidget(QWidget* widget);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int barWidth_;
    bool locked_ = false;
    bool dragging_ = false;
    int dragStartX_ = 0;
    int dragStartWidth_ = 0;
};

}  // namespace cv
