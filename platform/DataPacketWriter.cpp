// Writing a data packet: the XML is composed here, in one pass, into a buffer that goes to the
// file in large checked writes. The layout (declaration, indentation, escapes) is the one
// libxml2's text writer gives with indentation on, so packets stay byte for byte what they were.
#include <libxml/tree.h>

#include <QSet>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "ClientDataSet.h"
#include "DataPacket.h"
#include "DataPacketFormat.h"
#include "Heartbeat.h"
#include "StagedFile.h"

namespace cv {
namespace {

using namespace packet;

bool usableAttributeName(const QByteArray& name) {
    return xmlValidateNCName(reinterpret_cast<const xmlChar*>(name.constData()), 0) == 0 &&
           !name.toLower().startsWith("xml");
}

QList<QByteArray> attributeNames(const QList<FieldDef>& fields) {
    QList<QByteArray> names;
    QSet<QByteArray> taken;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QByteArray name = fields[i].name.toUtf8();
        for (qsizetype n = i; !usableAttributeName(name) || taken.contains(name); ++n) {
            name = '_' + QByteArray::number(n);
        }
        taken.insert(name);
        names.append(name);
    }
    return names;
}

char* escapeUnit(char* out, char16_t unit) {
    static const char digits[] = "0123456789ABCDEF";
    *out++ = char(0xF4);
    *out++ = char(0x8F);
    *out++ = char(0xBF);
    *out++ = char(0xBD);
    for (int shift = 12; shift >= 0; shift -= 4) *out++ = digits[(unit >> shift) & 0xF];
    return out;
}

char* copy(char* out, const char* text, qsizetype size) {
    std::memcpy(out, text, size_t(size));
    return out + size;
}

// An ASCII character inside a double-quoted attribute value.
inline char* encodeAscii(char* out, char c) {
    if (c >= 0x20 && c != '<' && c != '>' && c != '&' && c != '"') {
        *out++ = c;
        return out;
    }
    switch (c) {
        case '<':
            return copy(out, "&lt;", 4);
        case '>':
            return copy(out, "&gt;", 4);
        case '&':
            return copy(out, "&amp;", 5);
        case '"':
            return copy(out, "&quot;", 6);
        case '\t':
            return copy(out, "&#9;", 4);
        case '\n':
            return copy(out, "&#10;", 5);
        case '\r':
            return copy(out, "&#13;", 5);
        default:
            return escapeUnit(out, char16_t(c));
    }
}

// The UTF-16 units of `utf8` when it is valid UTF-8 whose characters beyond ASCII all travel
// as they are (not U+FFFE, U+FFFF or the escape's own U+10FFFD); -1 otherwise. Such text is
// written byte for byte, as its decoding would be encoded again.
qsizetype plainUtf8Units(QByteArrayView utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const auto* const end = p + utf8.size();
    qsizetype units = 0;
    const auto continues = [&](qsizetype n) {
        if (end - p < n) return false;
        for (qsizetype k = 1; k < n; ++k)
            if ((p[k] & 0xC0) != 0x80) return false;
        return true;
    };
    while (p < end) {
        const unsigned char b = *p;
        if (b < 0x80) {
            ++p;
            ++units;
        } else if (b >= 0xC2 && b <= 0xDF && continues(2)) {
            p += 2;
            ++units;
        } else if (b >= 0xE0 && b <= 0xEF && continues(3)) {
            if ((b == 0xE0 && p[1] < 0xA0) || (b == 0xED && p[1] >= 0xA0)) return -1;
            if (b == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return -1;  // U+FFFE, U+FFFF
            p += 3;
            ++units;
        } else if (b >= 0xF0 && b <= 0xF4 && continues(4)) {
            if ((b == 0xF0 && p[1] < 0x90) || (b == 0xF4 && p[1] >= 0x90)) return -1;
            if (b == 0xF4 && p[1] == 0x8F && p[2] == 0xBF && p[3] == 0xBD) return -1;
            p += 4;
            units += 2;
        } else {
            return -1;
        }
    }
    return units;
}

// `units` as the inside of a double-quoted attribute value, at `out`, which has room for
// EscapedUnitBytes per unit: UTF-8, the markup characters and the white space that
// attribute-value normalisation would change as references, and the packet's escape for
// what XML cannot hold. A high surrogate at the very end is written alone.
char* encodeValue(char* out, const char16_t* p, const char16_t* end) {
    while (p < end) {
        const char16_t c = *p++;
        if (c < 0x80) {
            out = encodeAscii(out, char(c));
        } else if (c < 0x800) {
            *out++ = char(0xC0 | (c >> 6));
            *out++ = char(0x80 | (c & 0x3F));
        } else if (QChar::isHighSurrogate(c) && p < end && QChar::isLowSurrogate(*p)) {
            const char16_t low = *p++;
            if (c == EscapeHigh && low == EscapeLow) {
                out = escapeUnit(escapeUnit(out, c), low);
                continue;
            }
            const char32_t code = QChar::surrogateToUcs4(c, low);
            *out++ = char(0xF0 | (code >> 18));
            *out++ = char(0x80 | ((code >> 12) & 0x3F));
            *out++ = char(0x80 | ((code >> 6) & 0x3F));
            *out++ = char(0x80 | (code & 0x3F));
        } else if (QChar::isSurrogate(c) || c == 0xFFFE || c == 0xFFFF) {
            out = escapeUnit(out, c);
        } else {
            *out++ = char(0xE0 | (c >> 12));
            *out++ = char(0x80 | ((c >> 6) & 0x3F));
            *out++ = char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

class PacketOutput {
public:
    PacketOutput(StagedFile& file, qint64 maxBytes) : file_(file), maxBytes_(maxBytes) {
        buffer_.resize(64 * 1024);
    }

    // Room for `size` more bytes at the returned pointer; advance() says how many were used.
    // The buffer grows up to its full size before anything goes to the file, so that a small
    // packet costs a small buffer.
    char* reserve(qsizetype size) {
        if (used_ + size > qsizetype(buffer_.size())) {
            constexpr qsizetype Full = FlushAt + FlushAt / 4;
            if (used_ + size <= Full) {
                buffer_.resize(
                    size_t(std::min(Full, std::max(2 * qsizetype(buffer_.size()), used_ + size))));
            } else {
                flush();
                if (size > qsizetype(buffer_.size())) buffer_.resize(size_t(size));
            }
        }
        return buffer_.data() + used_;
    }
    void advance(char* end) { used_ = end - buffer_.data(); }

    void append(const char* text, qsizetype size) { advance(copy(reserve(size), text, size)); }
    void append(const QByteArray& text) { append(text.constData(), text.size()); }
    template <std::size_t N>
    void append(const char (&text)[N]) {
        append(text, N - 1);
    }

    void appendValue(QStringView text) {
        // In slices, so that a long value needs no buffer eight times its size.
        constexpr qsizetype Slice = 16384;
        const char16_t* p = text.utf16();
        const char16_t* end = p + text.size();
        while (p < end) {
            const char16_t* stop = end - p > Slice ? p + Slice : end;
            if (stop < end && QChar::isHighSurrogate(stop[-1])) ++stop;
            advance(encodeValue(reserve((stop - p) * EscapedUnitBytes), p, stop));
            p = stop;
        }
    }
    // Text that plainUtf8Units accepts: only its ASCII needs escapes.
    void appendPlain(QByteArrayView utf8) {
        constexpr qsizetype Slice = 16384;
        for (qsizetype at = 0; at < utf8.size(); at += Slice) {
            const QByteArrayView slice = utf8.sliced(at, std::min(Slice, utf8.size() - at));
            char* out = reserve(slice.size() * EscapedUnitBytes);
            for (const char c : slice) out = (c & 0x80) ? (*out++ = c, out) : encodeAscii(out, c);
            advance(out);
        }
    }

    qint64 position() const { return flushed_ + used_; }

    void rowDone() {
        if (position() > maxBytes_) {
            fail(QStringLiteral("the data packet %1 would be larger than %2 bytes")
                     .arg(file_.target())
                     .arg(maxBytes_));
        }
        if (used_ >= FlushAt) flush();
    }

    void flush() {
        if (used_ == 0) return;
        if (!file_.write(buffer_.data(), used_)) fail(file_.errorString());
        flushed_ += used_;
        used_ = 0;
    }

private:
    static constexpr qsizetype FlushAt = 1 << 20;
    StagedFile& file_;
    qint64 maxBytes_;
    std::vector<char> buffer_;
    qsizetype used_ = 0;
    qint64 flushed_ = 0;
};

// The text a value is written as, in a field of `type`; nothing when it does not read back as
// that type.
std::optional<QString> valueAs(FieldType type, const QVariant& value) {
    if (type == FieldType::String && value.metaType() == QMetaType::fromType<QString>()) {
        return *static_cast<const QString*>(value.constData());
    }
    const auto converted = convertValue(type, value);
    if (!converted) return std::nullopt;
    return type == FieldType::Blob ? QString::fromLatin1(converted->toByteArray().toHex())
                                   : valueText(*converted);
}

// An integer as the reader takes it back, written without a detour through text.
std::optional<qlonglong> plainInteger(const QVariant& value) {
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<qlonglong>())
        return *static_cast<const qlonglong*>(value.constData());
    if (type == QMetaType::fromType<int>()) return *static_cast<const int*>(value.constData());
    return std::nullopt;
}

// The type each field is written as: its own, or text when a value in it does not read back
// as its type (a text in an integer column of SQLite). Every value then still travels, and
// reads back as the same text.
QList<FieldType> writtenTypes(const RowSet& data) {
    QList<FieldType> types;
    for (qsizetype f = 0; f < data.fields.size(); ++f) {
        FieldType type = data.fields[f].type;
        if (type != FieldType::String) {
            for (const Row& row : data.rows) {
                if (row[f].isNull() || (type == FieldType::Integer && plainInteger(row[f])))
                    continue;
                if (!valueAs(type, row[f])) {
                    type = FieldType::String;
                    break;
                }
            }
        }
        types.append(type);
    }
    return types;
}

void checkShape(const RowSet& data, const DataPacketLimits& limits) {
    const qsizetype fields = data.fields.size();
    const qsizetype rows = data.rows.size();
    if (fields > limits.maxFields) {
        fail(QStringLiteral("%1 fields, more than a data packet holds (%2)")
                 .arg(fields)
                 .arg(limits.maxFields));
    }
    if (rows > limits.maxRows || (fields > 0 && rows > limits.maxCells / fields)) {
        fail(QStringLiteral("%1 rows of %2 fields, more than a data packet holds (%3 rows, %4 "
                            "values)")
                 .arg(rows)
                 .arg(fields)
                 .arg(limits.maxRows)
                 .arg(limits.maxCells));
    }
    for (const FieldDef& field : data.fields) {
        if (field.name.toUtf8().size() > limits.maxFieldNameBytes) {
            fail(QStringLiteral("a field name of more than %1 bytes: %2...")
                     .arg(limits.maxFieldNameBytes)
                     .arg(field.name.left(40)));
        }
    }
    for (qsizetype r = 0; r < rows; ++r) {
        if (data.rows[r].size() != fields) fail(QStringLiteral("row %1 is malformed").arg(r));
    }
}

// The packet up to its first row: declaration, fields, and the opening of ROWDATA.
void writeHead(PacketOutput& out, const QList<FieldDef>& fields, const QList<QByteArray>& names,
               const QList<FieldType>& types, bool hasRows) {
    out.append("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DATAPACKET Version=\"2.0\">\n");
    out.append(" <METADATA>\n");
    out.append(fields.isEmpty() ? QByteArray("  <FIELDS/>\n") : QByteArray("  <FIELDS>\n"));
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const FieldDef& field = fields[i];
        out.append("   <FIELD attrname=\"");
        out.append(names[i]);
        out.append("\" fieldtype=\"");
        out.append(typeName(types[i]), qsizetype(std::strlen(typeName(types[i]))));
        out.append("\"");
        if (field.width > 0) {
            out.append(" WIDTH=\"");
            out.append(QByteArray::number(field.width));
            out.append("\"");
        }
        if (names[i] != field.name.toUtf8()) {
            out.append(" fieldname=\"");
            out.appendValue(field.name);
            out.append("\"");
        }
        out.append("/>\n");
    }
    if (!fields.isEmpty()) out.append("  </FIELDS>\n");
    out.append("  <PARAMS/>\n </METADATA>\n");
    out.append(hasRows ? QByteArray(" <ROWDATA>\n") : QByteArray(" <ROWDATA/>\n"));
}

void writeTail(PacketOutput& out, bool hasRows) {
    if (hasRows) out.append(" </ROWDATA>\n");
    out.append("</DATAPACKET>\n");
    out.rowDone();
    out.flush();
}

// One ROW at a time, each value as its attribute, the row's size held to the limit: a row
// that would pass it is refused, naming the field that takes the most of it.
class RowComposer {
public:
    RowComposer(PacketOutput& out, const StagedFile& file, const QList<FieldDef>& fields,
                const QList<QByteArray>& names, qsizetype maxRowBytes)
        : out_(out), file_(file), fields_(fields), maxRowBytes_(maxRowBytes) {
        // What each field's attribute begins with: ` name="`.
        for (const QByteArray& name : names) openings_.append(' ' + name + "=\"");
    }

    void begin(qsizetype row) {
        heartbeat();
        row_ = row;
        out_.append("  ");
        start_ = out_.position();
        largest_ = -1;
        blamed_ = -1;
        out_.append("<ROW");
    }
    void end() {
        out_.append("/>\n");
        out_.rowDone();
    }

    void text(int field, QStringView text) {
        put(field, text.size(), [&] { out_.appendValue(text); });
    }
    // Valid UTF-8 that holds nothing the packet escapes but ASCII: `units` UTF-16 units.
    void plain(int field, QByteArrayView utf8, qsizetype units) {
        put(field, units, [&] { out_.appendPlain(utf8); });
    }
    void integer(int field, qlonglong value) {
        char digits[24];
        const qsizetype size = std::to_chars(digits, digits + sizeof digits, value).ptr - digits;
        put(field, size, [&] { out_.append(digits, size); });
    }

private:
    template <class Write>
    void put(int field, qsizetype units, const Write& write) {
        const qint64 before = out_.position();
        // Every unit takes at least one byte: a value far too long is refused unencoded.
        qint64 size = openings_[field].size() + units + 1;
        if (before - start_ + size + 2 <= maxRowBytes_) {
            out_.append(openings_[field]);
            write();
            out_.append("\"");
            size = out_.position() - before;
        }
        if (size > largest_) {
            largest_ = size;
            blamed_ = field;
        }
        const qint64 bytes = before - start_ + size + 2;  // and the closing "/>"
        if (bytes > maxRowBytes_) {
            throw DataPacketValueError(
                QStringLiteral("%1: row %2 takes at least %3 bytes, more than %4, most of them "
                               "in field %5")
                    .arg(file_.target())
                    .arg(row_)
                    .arg(bytes)
                    .arg(maxRowBytes_)
                    .arg(fields_[blamed_].name)
                    .toStdString(),
                row_, blamed_, bytes, maxRowBytes_);
        }
    }

    PacketOutput& out_;
    const StagedFile& file_;
    const QList<FieldDef>& fields_;
    const qsizetype maxRowBytes_;
    QList<QByteArray> openings_;
    qsizetype row_ = 0;
    qint64 start_ = 0;
    qint64 largest_ = -1;
    int blamed_ = -1;
};

// A value that is not plain text in a text field or a whole number in an integer field; false
// when it does not read back as `type`.
bool composeOther(RowComposer& row, int field, FieldType type, const QVariant& value) {
    if (type == FieldType::String && value.metaType() == QMetaType::fromType<QString>()) {
        row.text(field, *static_cast<const QString*>(value.constData()));
    } else if (value.isNull()) {
        return true;
    } else if (const auto integer =
                   type == FieldType::Integer ? plainInteger(value) : std::nullopt) {
        row.integer(field, *integer);
    } else {
        const std::optional<QString> written = valueAs(type, value);
        if (!written) return false;
        row.text(field, *written);
    }
    return true;
}

}  // namespace

void writeDataPacket(StagedFile& file, const RowSet& data, const DataPacketLimits& limits) {
    checkShape(data, limits);
    const QList<QByteArray> names = attributeNames(data.fields);
    const QList<FieldType> types = writtenTypes(data);
    PacketOutput out(file, limits.maxBytes);
    writeHead(out, data.fields, names, types, !data.rows.isEmpty());
    RowComposer composer(out, file, data.fields, names, limits.maxRowBytes);
    for (qsizetype r = 0; r < data.rows.size(); ++r) {
        const Row& row = data.rows[r];
        composer.begin(r);
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (!composeOther(composer, int(i), types[i], row[i]))
                fail(QStringLiteral("row %1, field %2: unwritable").arg(r).arg(i));
        }
        composer.end();
    }
    writeTail(out, !data.rows.isEmpty());
}

bool streamDataPacket(StagedFile& file, PacketRowSource& source, const DataPacketLimits& limits) {
    bool more = source.next();
    const bool hasRows = more;
    const QList<FieldDef>& fields = source.fields();
    if (fields.size() > limits.maxFields) return false;
    for (const FieldDef& field : fields)
        if (field.name.toUtf8().size() > limits.maxFieldNameBytes) return false;
    const QList<QByteArray> names = attributeNames(fields);
    QList<FieldType> types;
    for (const FieldDef& field : fields) types.append(field.type);
    const qsizetype maxRows = fields.isEmpty()
                                  ? limits.maxRows
                                  : std::min(limits.maxRows, limits.maxCells / fields.size());

    PacketOutput out(file, limits.maxBytes);
    writeHead(out, fields, names, types, more);
    RowComposer composer(out, file, fields, names, limits.maxRowBytes);
    try {
        for (qsizetype r = 0; more; ++r, more = source.next()) {
            if (r >= maxRows) return false;
            composer.begin(r);
            for (int i = 0; i < fields.size(); ++i) {
                const PacketValue value = source.value(i);
                switch (value.kind) {
                    case PacketValue::Kind::Null:
                        continue;
                    case PacketValue::Kind::Utf8:
                        if (types[i] == FieldType::String) {
                            if (const qsizetype units = plainUtf8Units(value.utf8); units >= 0) {
                                composer.plain(i, value.utf8, units);
                                continue;
                            }
                        }
                        break;
                    case PacketValue::Kind::Integer:
                        if (types[i] == FieldType::Integer) {
                            composer.integer(i, value.integer);
                            continue;
                        }
                        break;
                    case PacketValue::Kind::Other:
                        break;
                }
                if (!composeOther(composer, i, types[i], source.variant(i))) return false;
            }
            composer.end();
        }
    } catch (const DataPacketValueError&) {
        return false;
    }
    writeTail(out, hasRows);
    return true;
}

void writeDataPacket(const QString& path, const RowSet& data) {
    StagedFile file(path);
    if (!file.open()) fail(file.errorString());
    writeDataPacket(file, data);
    if (!file.commit()) fail(file.errorString());
}

bool appendDataPacketMark(StagedFile& file, const QString& mark) {
    const QByteArray text = mark.toLatin1();
    if (!isMark(text)) return false;
    return file.write(MarkOpening + text + MarkClosing + '\n');
}

}  // namespace cv
