#include "ImportSelection.h"

namespace cv {
namespace {

bool isSpace(QChar c) { return c.unicode() <= ' '; }

}  // namespace

QStringList SplitCommaText(const QString& text) {
    QStringList items;
    const qsizetype end = text.size();
    qsizetype p = 0;
    auto skipSpaces = [&] {
        while (p < end && isSpace(text[p])) ++p;
    };
    skipSpaces();
    while (p < end) {
        QString item;
        if (text[p] == '"') {
            for (++p; p < end; ++p) {
                if (text[p] != '"') {
                    item += text[p];
                } else if (p + 1 < end && text[p + 1] == '"') {
                    item += '"';
                    ++p;
                } else {
                    ++p;
                    break;
                }
            }
        } else {
            const qsizetype start = p;
            while (p < end && text[p] > ' ' && text[p] != ',') ++p;
            item = text.sliced(start, p - start);
        }
        items << item;
        skipSpaces();
        if (p < end && text[p] == ',') {
            if (p + 1 == end) items << QString();
            ++p;
            skipSpaces();
        }
    }
    return items;
}

}  // namespace cv
