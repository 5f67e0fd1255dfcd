#include "TextCodec.h"

#include <iconv.h>

#include <QtEndian>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace cv {
namespace {

// QString's units as iconv names them.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr const char* Utf16 = "UTF-16LE";
#else
constexpr const char* Utf16 = "UTF-16BE";
#endif

// The host's code page, and the table for what it lacks. Both are stateless encodings, so a
// descriptor needs no reset after an error.
constexpr const char* CodePage936 = "CP936";
constexpr const char* Gb18030 = "GB18030";

// One iconv descriptor.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {
        if (cd_ == reinterpret_cast<iconv_t>(-1))
            throw CodecError(std::string("no converter from ") + from + " to " + to, 0);
    }
    ~Iconv() { iconv_close(cd_); }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;

    // Converts from `in` as far as it can; answers 0 when everything was converted, else the
    // reason it stopped (EILSEQ, EINVAL or E2BIG) with `in` at the character it stopped at.
    int run(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
        char* source = const_cast<char*>(in);
        const size_t rc = iconv(cd_, &source, &inLeft, &out, &outLeft);
        in = source;
        return rc == static_cast<size_t>(-1) ? errno : 0;
    }

    // Converts exactly `size` bytes as a whole; false when they are not one complete run of
    // valid input.
    bool whole(const char* in, size_t size, char*& out, size_t& outLeft) {
        char* const start = out;
        const size_t room = outLeft;
        if (run(in, size, out, outLeft) == 0 && size == 0) return true;
        out = start;
        outLeft = room;
        return false;
    }

private:
    iconv_t cd_;
};

// The calling thread's descriptors, opened on first use and kept: glibc unloads a conversion
// module when its last descriptor closes, and loading it again costs far more than a
// conversion. Per thread, since a descriptor must not be used by two threads at once; the
// encodings are stateless, so a descriptor left after an error needs no reset.
enum Direction { Decode936, DecodeGb18030, Encode936, EncodeGb18030, DirectionCount };

Iconv& descriptor(Direction direction) {
    thread_local std::unique_ptr<Iconv> open[DirectionCount];
    std::unique_ptr<Iconv>& slot = open[direction];
    if (!slot) {
        switch (direction) {
            case Decode936:
                slot = std::make_unique<Iconv>(Utf16, CodePage936);
                break;
            case DecodeGb18030:
                slot = std::make_unique<Iconv>(Utf16, Gb18030);
                break;
            case Encode936:
                slot = std::make_unique<Iconv>(CodePage936, Utf16);
                break;
            default:
                slot = std::make_unique<Iconv>(Gb18030, Utf16);
                break;
        }
    }
    return *slot;
}

char16_t hexDigit(int value) { return u"0123456789ABCDEF"[value & 15]; }

void appendByteEscape(QString& text, unsigned char byte) {
    text += u"\\x";
    text += QChar(hexDigit(byte >> 4));
    text += QChar(hexDigit(byte));
}

void appendUnitEscape(QString& text, char16_t unit) {
    text += u"\\u";
    for (int shift = 12; shift >= 0; shift -= 4) text += QChar(hexDigit(unit >> shift));
}

// The bytes that GB18030 reads as one character starting at `pos`: four for a lead byte
// followed by a digit, two for any other lead byte, else one.
size_t gb18030Length(const QByteArray& bytes, qsizetype pos) {
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    if (lead < 0x81 || lead > 0xFE || pos + 1 >= bytes.size()) return 1;
    const auto second = static_cast<unsigned char>(bytes[pos + 1]);
    return second >= 0x30 && second <= 0x39 ? 4 : 2;
}

QString decode(const QByteArray& bytes, bool escapeInvalid) {
    Iconv& codePage = descriptor(Decode936);
    QString text;
    // A byte never yields more than one unit (four bytes yield at most a surrogate pair).
    std::vector<char16_t> buffer(static_cast<size_t>(bytes.size()) + 4);
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const char* in = bytes.constData() + pos;
        size_t inLeft = static_cast<size_t>(bytes.size() - pos);
        char* out = reinterpret_cast<char*>(buffer.data());
        size_t outLeft = buffer.size() * sizeof(char16_t);
        const int stopped = codePage.run(in, inLeft, out, outLeft);
        pos = in - bytes.constData();
        if (stopped == E2BIG) throw CodecError("GBK text outgrew its buffer", pos);
        if (stopped != 0) {
            // Code page 936 stops here: GB18030 may still read one character.
            const size_t length = gb18030Length(bytes, pos);
            if (descriptor(DecodeGb18030).whole(bytes.constData() + pos, length, out, outLeft)) {
                pos += static_cast<qsizetype>(length);
            } else if (escapeInvalid) {
                text.append(reinterpret_cast<const QChar*>(buffer.data()),
                            reinterpret_cast<char16_t*>(out) - buffer.data());
                appendByteEscape(text, static_cast<unsigned char>(bytes[pos]));
                ++pos;
                continue;
            } else {
                throw CodecError(std::string(stopped == EINVAL ? "incomplete" : "invalid") +
                                     " character in GBK text at byte " + std::to_string(pos),
                                 pos);
            }
        }
        text.append(reinterpret_cast<const QChar*>(buffer.data()),
                    reinterpret_cast<char16_t*>(out) - buffer.data());
    }
    return text;
}

// Encodes UTF-16 text: code page 936 first, GB18030 for each character it lacks.
class Encoder {
public:
    Encoder() : codePage_(descriptor(Encode936)) {}

    // Appends the bytes of `text[from, to)`; answers the unit offset of the first character
    // that neither table expresses (nothing after it is appended), or -1.
    qsizetype encode(const QString& text, qsizetype from, qsizetype to, QByteArray& bytes) {
        // No character needs more than four bytes, and a pair of units takes four at most.
        const qsizetype start = bytes.size();
        bytes.resize(start + (to - from) * 4 + 8);
        const char* base = reinterpret_cast<const char*>(text.constData());
        const char* in = base + from * 2;
        size_t inLeft = static_cast<size_t>(to - from) * 2;
        char* out = bytes.data() + start;
        size_t outLeft = static_cast<size_t>(bytes.size() - start);
        qsizetype failed = -1;
        while (inLeft > 0) {
            const int stopped = codePage_.run(in, inLeft, out, outLeft);
            if (stopped == 0) break;
            const qsizetype unit = (in - base) / 2;
            const size_t units =
                text[unit].isHighSurrogate() && unit + 1 < to && text[unit + 1].isLowSurrogate()
                    ? 2
                    : 1;
            if (stopped == E2BIG || !gb18030().whole(in, units * 2, out, outLeft)) {
                failed = unit;
                break;
            }
            in += units * 2;
            inLeft -= units * 2;
        }
        bytes.resize(out - bytes.data());
        return failed;
    }

private:
    static Iconv& gb18030() { return descriptor(EncodeGb18030); }

    Iconv& codePage_;
};

bool isControl(char16_t unit) { return unit < 0x20 || unit == 0x7F; }

}  // namespace

QString fromGbk(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QString();
    return decode(bytes, false);
}

QString fromGbk(const char* zeroTerminated) {
    return zeroTerminated ? fromGbk(QByteArray(zeroTerminated)) : QString();
}

QString fromGbkEscaped(const QByteArray& bytes) {
    if (bytes.isEmpty()) return QString();
    try {
        return decode(bytes, true);
    } catch (const CodecError&) {
        // No converter at all: the bytes as they are, each escaped unless plain ASCII.
        QString text;
        for (const char byte : bytes) {
            const auto value = static_cast<unsigned char>(byte);
            if (value < 0x80 && !isControl(value))
                text += QChar(value);
            else
                appendByteEscape(text, value);
        }
        return text;
    }
}

QByteArray toGbk(const QString& text) {
    if (text.isEmpty()) return QByteArray();
    QByteArray bytes;
    const qsizetype failed = Encoder().encode(text, 0, text.size(), bytes);
    if (failed >= 0) {
        throw CodecError("U+" +
                             QString::number(text[failed].unicode(), 16).toUpper().toStdString() +
                             " at unit " + std::to_string(failed) + " has no GBK bytes",
                         failed);
    }
    return bytes;
}

namespace {

QString escapedForBoundary(const QString& text) {
    Encoder encoder;
    QByteArray scratch;
    bool plain = true;
    for (const QChar c : text) plain = plain && !isControl(c.unicode());
    if (plain && encoder.encode(text, 0, text.size(), scratch) < 0) return text;

    QString safe;
    qsizetype i = 0;
    while (i < text.size()) {
        const char16_t unit = text[i].unicode();
        if (isControl(unit)) {
            appendByteEscape(safe, static_cast<unsigned char>(unit));
            ++i;
            continue;
        }
        const qsizetype units =
            text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2
                                                                                             : 1;
        scratch.clear();
        if (encoder.encode(text, i, i + units, scratch) < 0) {
            safe.append(text.constData() + i, units);
        } else {
            for (qsizetype k = i; k < i + units; ++k) appendUnitEscape(safe, text[k].unicode());
        }
        i += units;
    }
    return safe;
}

// Without any converter only what every code page shares passes.
QString asciiOnly(const QString& text) {
    QString safe;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (isControl(unit))
            appendByteEscape(safe, static_cast<unsigned char>(unit));
        else if (unit < 0x80)
            safe += c;
        else
            appendUnitEscape(safe, unit);
    }
    return safe;
}

}  // namespace

QString logSafeText(const QString& text) {
    try {
        return escapedForBoundary(text);
    } catch (const CodecError&) {
        return asciiOnly(text);
    }
}

}  // namespace cv
