#include "FormLook.h"

#include <QFont>
#include <QPalette>
#include <QWidget>

namespace cv {

void applyFormLook(QWidget& form) {
    form.setAutoFillBackground(true);
    QPalette colours = form.palette();
    colours.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    form.setPalette(colours);
    QFont font;
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                      QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")});
    font.setPixelSize(12);
    form.setFont(font);
}

}  // namespace cv
