// The import selection: the ticked identifiers as comma text (GetTickedPersons form 1), split
// back into the list.
#pragma once

#include <QString>
#include <QStringList>

namespace cv {

// Splits comma text: items separated by ",", blanks and control characters around an item
// skipped; an item in double quotes may hold commas, blanks and doubled double quotes. The
// exact inverse of CommaText (GetTickedPersons.h) for every list whose text is not empty.
QStringList SplitCommaText(const QString& text);

}  // namespace cv
