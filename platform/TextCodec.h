// GBK at the boundary, QString inside. GB18030 is used in both directions: it gives every GBK
// character the same bytes and carries characters that GBK lacks instead of turning them
// into "?". Invalid input is an error with its byte offset, never a silent replacement.
#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

namespace cv {

class CodecError : public std::runtime_error {
public:
    CodecError(const std::string& what, qsizetype offset)
        : std::runtime_error(what), offset_(offset) {}
    qsizetype offset() const { return offset_; }

private:
    qsizetype offset_;
};

QString fromGbk(const QByteArray& bytes);
QString fromGbk(const char* zeroTerminated);  // null reads as the empty text
QByteArray toGbk(const QString& text);

// A text as it may stand inside a log line: every control character (U+0000-U+001F, U+007F)
// becomes "\x" and two upper-case hex digits (a line feed "\x0A"), every character that the
// GBK boundary cannot express (an unpaired surrogate) "\u" and four; the rest is unchanged.
// A name read from a package can then never end or forge a line of the host's log.
QString logSafeText(const QString& text);

}  // namespace cv
