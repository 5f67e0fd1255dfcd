#include "TextCodec.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace cv {
namespace {

// Converts a whole buffer; iconv descriptors are cheap enough to open per call, and a
// per-call descriptor keeps the codec free of shared state.
QByteArray convert(const char* to, const char* from, const QByteArray& input) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw CodecError(std::string("no converter from ") + from + " to " + to, 0);
    std::unique_ptr<void, int (*)(iconv_t)> guard(cd, iconv_close);

    QByteArray output;
    output.resize(input.size() * 2 + 16);
    char* in = const_cast<char*>(input.constData());
    size_t inLeft = static_cast<size_t>(input.size());
    size_t produced = 0;
    while (inLeft > 0) {
        char* out = output.data() + produced;
        size_t outLeft = static_cast<size_t>(output.size()) - produced;
        const size_t rc = iconv(cd, &in, &inLeft, &out, &outLeft);
        produced = static_cast<size_t>(out - output.data());
        if (rc != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            output.resize(output.size() * 2);
            continue;
        }
        const qsizetype offset = in - input.constData();
        throw CodecError(std::string(errno == EINVAL ? "incomplete" : "invalid") +
                             " character in " + from + " text at byte " + std::to_string(offset),
                         offset);
    }
    output.resize(static_cast<qsizetype>(produced));
    return output;
}

}  // namespace

QString fromGbk(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QString();
    return QString::fromUtf8(convert("UTF-8", "GB18030", bytes));
}

QString fromGbk(const char* zeroTerminated) {
    return zeroTerminated ? fromGbk(QByteArray(zeroTerminated)) : QString();
}

QByteArray toGbk(const QString& text) {
    if (text.isEmpty()) return QByteArray();
    return convert("GB18030", "UTF-8", text.toUtf8());
}

QString logSafeText(const QString& text) {
    QString safe;
    safe.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x20 || u == 0x7F) {
            safe += QStringLiteral("\\x") +
                    QString::number(unsigned(u), 16).rightJustified(2, u'0').toUpper();
        } else if (QChar::isHighSurrogate(u) && i + 1 < n && text[i + 1].isLowSurrogate()) {
            safe += text[i];
            safe += text[++i];
        } else if (QChar::isSurrogate(u)) {
            safe += QStringLiteral("\\u") +
                    QString::number(unsigned(u), 16).rightJustified(4, u'0').toUpper();
        } else {
            safe += text[i];
        }
    }
    return safe;
}

}  // namespace cv
