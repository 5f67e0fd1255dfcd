// The look that the library's forms share: background colour 15790320 (#F0F0F0) and the font
// "宋体" at 12 pixels, or a CJK face of the system where it is not installed.
#pragma once

class QWidget;

namespace cv {

void applyFormLook(QWidget& form);

}  // namespace cv
