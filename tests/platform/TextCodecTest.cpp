// The GBK boundary against the system's own tables: every code of code page 936 and the
// GB18030 codes beyond it are taken from iconv at test time, one character at a time, and the
// codec (which converts whole texts in runs) must agree with them.
#include <gtest/gtest.h>
#include <iconv.h>

#include <QString>
#include <QStringList>
#include <initializer_list>
#include <optional>
#include <random>
#include <vector>

#include "TextCodec.h"

namespace {

// One character through iconv: the text of `bytes` when they are exactly one character of
// `charset`, or the bytes of `text` in it.
std::optional<QString> iconvDecode(const char* charset, const QByteArray& bytes) {
    iconv_t cd = iconv_open("UTF-16LE", charset);
    char16_t out[8];
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = size_t(bytes.size());
    char* outPtr = reinterpret_cast<char*>(out);
    size_t outLeft = sizeof out;
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    const qsizetype units = qsizetype(sizeof out - outLeft) / 2;
    if (rc == size_t(-1) || inLeft != 0 || units == 0) return std::nullopt;
    const QString text(reinterpret_cast<const QChar*>(out), units);
    if (text.toUcs4().size() != 1) return std::nullopt;
    return text;
}

std::optional<QByteArray> iconvEncode(const char* charset, const QString& text) {
    iconv_t cd = iconv_open(charset, "UTF-16LE");
    char out[16];
    char* in = reinterpret_cast<char*>(const_cast<QChar*>(text.constData()));
    size_t inLeft = size_t(text.size()) * 2;
    char* outPtr = out;
    size_t outLeft = sizeof out;
    const size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == size_t(-1) || inLeft != 0) return std::nullopt;
    return QByteArray(out, qsizetype(sizeof out - outLeft));
}

// What the boundary must answer for one character: code page 936's bytes, else GB18030's.
std::optional<QByteArray> referenceBytes(const QString& character) {
    if (auto bytes = iconvEncode("CP936", character)) return bytes;
    return iconvEncode("GB18030", character);
}

QByteArray bytesOf(std::initializer_list<char> bytes) {
    return QByteArray(bytes.begin(), qsizetype(bytes.size()));
}

struct Code {
    QByteArray bytes;
    QString text;
};

// Every single byte and lead/trail pair that `charset` reads as one character.
std::vector<Code> codesOf(const char* charset) {
    std::vector<Code> codes;
    for (int lead = 0; lead < 256; ++lead) {
        const QByteArray single(1, char(lead));
        if (auto text = iconvDecode(charset, single)) codes.push_back({single, *text});
        if (lead < 0x81 || lead > 0xFE) continue;
        for (int trail = 0; trail < 256; ++trail) {
            const QByteArray pair = bytesOf({char(lead), char(trail)});
            if (auto text = iconvDecode(charset, pair)) codes.push_back({pair, *text});
        }
    }
    return codes;
}

std::string hex(const QByteArray& bytes) { return bytes.toHex(' ').toStdString(); }

TEST(TextCodec, EveryCodeOfCodePage936ReadsAsTheCodePageReadsItAndComesBackUnchanged) {
    const std::vector<Code> codes = codesOf("CP936");
    ASSERT_GT(codes.size(), 21000u);
    QStringList wrong;
    bool euroSeen = false;
    for (const Code& code : codes) {
        euroSeen = euroSeen || (code.bytes == "\x80" && code.text == QStringLiteral("€"));
        try {
            const QString text = cv::fromGbk(code.bytes);
            const QByteArray back = cv::toGbk(text);
            if (text != code.text || back != code.bytes)
                wrong << QString::fromLatin1(code.bytes.toHex()) + " -> " + text + " -> " +
                             QString::fromLatin1(back.toHex());
        } catch (const cv::CodecError& e) {
            wrong << QString::fromLatin1(code.bytes.toHex()) + ": " + e.what();
        }
    }
    EXPECT_TRUE(euroSeen) << "iconv's code page 936 lacks the single byte 0x80";
    EXPECT_EQ(wrong.mid(0, 20), QStringList()) << wrong.size() << " codes differ";
    // The euro sign written by anyone is 0x80, also when it was read from GB18030's bytes.
    EXPECT_EQ(cv::toGbk(cv::fromGbk(QByteArray("\xA2\xE3"))), QByteArray("\x80"));
}

// Whole texts mixing code page 936, GB18030's two- and four-byte codes and invalid bytes, on
// seeded random cases: the codec's runs must equal the character-by-character reference.
TEST(TextCodec, MixedTextsAgreeWithTheReferenceAndBadBytesAreReportedWhereTheyAre) {
    std::vector<Code> pool = codesOf("CP936");
    for (const Code& code : codesOf("GB18030"))
        if (!iconvDecode("CP936", code.bytes)) pool.push_back(code);
    std::mt19937 random(20240615);
    auto byteIn = [&](int low, int high) {
        return char(std::uniform_int_distribution<int>(low, high)(random));
    };
    for (int i = 0; i < 3000; ++i) {
        const QByteArray four = bytesOf(
            {byteIn(0x81, 0xFE), byteIn(0x30, 0x39), byteIn(0x81, 0xFE), byteIn(0x30, 0x39)});
        if (auto text = iconvDecode("GB18030", four)) pool.push_back({four, *text});
    }
    std::vector<QByteArray> canonical;
    for (const Code& code : pool) canonical.push_back(referenceBytes(code.text).value());

    std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE(round);
        const int length = std::uniform_int_distribution<int>(1, 40)(random);
        QByteArray input, expectedBytes;
        QString expectedText, expectedEscaped;
        qsizetype firstBad = -1;
        for (int k = 0; k < length; ++k) {
            if (round % 4 == 0 && std::uniform_int_distribution<int>(0, 15)(random) == 0) {
                // A byte no table reads: 0xFF, or a lead byte cut off by the end.
                const bool atEnd = k == length - 1;
                const char bad = atEnd ? byteIn(0x81, 0xFE) : '\xFF';
                if (firstBad < 0) firstBad = input.size();
                input += bad;
                expectedEscaped += "\\x" + QString::number(uchar(bad), 16).toUpper();
                continue;
            }
            const size_t at = pick(random);
            input += pool[at].bytes;
            expectedText += pool[at].text;
            expectedEscaped += pool[at].text;
            expectedBytes += canonical[at];
        }
        if (firstBad >= 0) {
            try {
                cv::fromGbk(input);
                ADD_FAILURE() << "accepted " << hex(input);
            } catch (const cv::CodecError& e) {
                EXPECT_EQ(e.offset(), firstBad) << hex(input);
            }
            EXPECT_EQ(cv::fromGbkEscaped(input), expectedEscaped) << hex(input);
            continue;
        }
        EXPECT_EQ(cv::fromGbk(input), expectedText) << hex(input);
        EXPECT_EQ(cv::fromGbkEscaped(input), expectedText) << hex(input);
        EXPECT_EQ(cv::toGbk(expectedText), expectedBytes) << hex(input);
    }
}

// Every character of the basic plane, and surrogates standing alone: toGbk expresses exactly
// what the reference does and refuses the rest at its offset; logSafeText escapes exactly
// those and the control characters, and its answer always crosses.
TEST(TextCodec, WhatTheBoundaryCannotExpressIsRefusedByToGbkAndEscapedForTheLog) {
    QList<char16_t> inexpressible;
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c < 0xE000) continue;
        const QString text = QStringLiteral("a") + QChar(char16_t(c));
        const std::optional<QByteArray> reference = referenceBytes(QString(QChar(char16_t(c))));
        const bool control = c < 0x20 || c == 0x7F;
        QString expectedSafe = text;
        if (control)
            expectedSafe = "a\\x" + QString::number(int(c), 16).toUpper().rightJustified(2, '0');
        else if (!reference)
            expectedSafe = "a\\u" + QString::number(int(c), 16).toUpper();
        if (reference) {
            if (cv::toGbk(text) != "a" + *reference)
                ADD_FAILURE() << "U+" << std::hex << unsigned(c) << " -> " << hex(cv::toGbk(text));
        } else {
            inexpressible << char16_t(c);
            try {
                cv::toGbk(text);
                ADD_FAILURE() << "U+" << std::hex << unsigned(c) << " was encoded";
            } catch (const cv::CodecError& e) {
                EXPECT_EQ(e.offset(), 1);
            }
        }
        if (cv::logSafeText(text) != expectedSafe)
            ADD_FAILURE() << "U+" << std::hex << unsigned(c) << " -> "
                          << cv::logSafeText(text).toStdString();
    }
    // The private-use characters that the host's code page maps but glibc's tables do not.
    const QList<char16_t> known{0xE78D, 0xE78E, 0xE78F, 0xE790, 0xE791, 0xE792, 0xE793, 0xE794,
                                0xE795, 0xE796, 0xE816, 0xE817, 0xE818, 0xE81E, 0xE826, 0xE82B,
                                0xE82C, 0xE831, 0xE832, 0xE83B, 0xE843, 0xE854, 0xE855, 0xE864};
    EXPECT_EQ(inexpressible, known);

    const struct {
        QString text;
        QString safe;
    } cases[] = {
        {QString::fromUtf16(u"张\xE78D\n李\xE864"), QString::fromUtf16(u"张\\uE78D\\x0A李\\uE864")},
        {QString::fromUtf16(u"x\xD800y"), "x\\uD800y"},           // a lone high surrogate
        {QString::fromUtf16(u"\xDC00\xD800"), "\\uDC00\\uD800"},  // a pair the wrong way round
        {QString::fromUtf16(u"end\xD83D"), "end\\uD83D"},
        {QString::fromUtf16(u"😀€ \\x0A"), QString::fromUtf16(u"😀€ \\x0A")},  // unchanged
        {QString(), QString()},
    };
    for (const auto& c : cases) {
        const QString safe = cv::logSafeText(c.text);
        EXPECT_EQ(safe, c.safe);
        EXPECT_EQ(cv::logSafeText(safe), safe);
        EXPECT_NO_THROW(cv::toGbk(safe));
    }
    EXPECT_THROW(cv::toGbk(QString::fromUtf16(u"x\xD800y")), cv::CodecError);
}

}  // namespace
