// GBK at the boundary, QString inside. The host's GBK is its platform's code page 936: text is
// decoded and encoded with that code page's mapping (the single byte 0x80 is "€" both ways),
// and GB18030 is used only for what code page 936 cannot express, so every byte sequence a
// GBK host sends comes back unchanged and characters outside GBK are carried instead of turned
// into "?". Invalid input is an error with its offset, never a silent replacement.
//
// A few characters have no bytes at all (lone surrogates, and the 24 private-use characters
// that code page 936 maps in Windows but neither table here expresses). toGbk refuses them;
// text that must go out whatever it holds (log lines) passes through logSafeText first.
#pragma once

#include <QByteArray>
#include <QString>
#include <stdexcept>

namespace cv {

class CodecError : public std::runtime_error {
public:
    CodecError(const std::string& what, qsizetype offset)
        : std::runtime_error(what), offset_(offset) {}
    // Byte offset into the input of fromGbk; UTF-16 unit offset into the text of toGbk.
    qsizetype offset() const { return offset_; }

private:
    qsizetype offset_;
};

QString fromGbk(const QByteArray& bytes);
QString fromGbk(const char* zeroTerminated);  // null reads as the empty text
QByteArray toGbk(const QString& text);

// As fromGbk, but every byte that starts no valid character becomes "\x" and two upper-case
// hex digits instead of an error. For readers that must show whatever they were given.
QString fromGbkEscaped(const QByteArray& bytes);

// The text as it can always cross the boundary: every control character (U+0000-U+001F,
// U+007F) becomes "\x" + two upper-case hex digits, every character toGbk cannot express
// "\u" + four upper-case hex digits; everything else is unchanged. Never throws, and
// logSafeText(logSafeText(t)) == logSafeText(t).
QString logSafeText(const QString& text);

}  // namespace cv
