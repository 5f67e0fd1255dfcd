#include "DataPacket.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QHash>
#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "ClientDataSet.h"
#include "Heartbeat.h"
#include "StagedFile.h"

namespace cv {
namespace {

[[noreturn]] void fail(const QString& message) { throw DataPacketError(message.toStdString()); }

const char* typeName(FieldType type) {
    switch (type) {
        case FieldType::String:
            return "string";
        case FieldType::Integer:
            return "i8";
        case FieldType::Float:
            return "r8";
        case FieldType::Boolean:
            return "boolean";
        case FieldType::DateTime:
            return "datetime";
        case FieldType::Blob:
            return "bin.hex";
    }
    return "string";
}

std::optional<FieldType> typeNamed(QByteArrayView name) {
    static const QHash<QByteArray, FieldType> types{
        {"string", FieldType::String},   {"i4", FieldType::Integer},
        {"i8", FieldType::Integer},      {"r8", FieldType::Float},
        {"boolean", FieldType::Boolean}, {"datetime", FieldType::DateTime},
        {"bin.hex", FieldType::Blob}};
    const auto it = types.find(name.toByteArray());
    if (it == types.end()) return std::nullopt;
    return *it;
}

// The packet's own escape: U+10FFFD, then four upper-case hex digits naming one UTF-16 unit.
constexpr char16_t EscapeHigh = 0xDBFF;
constexpr char16_t EscapeLow = 0xDFFD;
constexpr qsizetype EscapedUnitBytes = 8;  // F4 8F BF BD and four digits

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

// ---------------------------------------------------------------------------------------------
// Writing: the XML is composed here, in one pass, into a buffer that goes to the file in large
// checked writes. The layout (declaration, indentation, escapes) is the one libxml2's text
// writer gives with indentation on, so packets stay byte for byte what they were.

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
                buffer_.resize(size_t(std::min(Full, std::max(2 * qsizetype(buffer_.size()),
                                                              used_ + size))));
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
    const qsizetype maxRows =
        fields.isEmpty() ? limits.maxRows : std::min(limits.maxRows, limits.maxCells / fields.size());

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

// ---------------------------------------------------------------------------------------------
// Reading: libxml2's SAX2 parser fed from the file in chunks, without XML_PARSE_HUGE, so that
// its own limits on names, values and elements stay. The packet's frame is checked as it
// streams by, every row against the limits before anything is built for it, and a row costs
// only the values it holds until the whole packet is read.

namespace {

// A value's text: QString::fromUtf8 drops a byte order mark at the very start, a value keeps
// it.
QString textOf(const char* bytes, qsizetype size) {
    if (size >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                           QStringConverter::Flag::Stateless);
        return decoder.decode(QByteArrayView(bytes, size));
    }
    return QString::fromUtf8(bytes, size);
}

int hexDigit(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `text` with the packet's escapes replaced by the units they stand for; nothing when an
// escape is not followed by four hex digits.
std::optional<QString> unescaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        if (text[i].unicode() == EscapeHigh && i + 1 < n && text[i + 1].unicode() == EscapeLow) {
            if (i + 6 > n) return std::nullopt;
            int unit = 0;
            for (qsizetype d = i + 2; d < i + 6; ++d) {
                const int digit = hexDigit(text[d].unicode());
                if (digit < 0) return std::nullopt;
                unit = unit * 16 + digit;
            }
            out.append(QChar(char16_t(unit)));
            i += 6;
        } else {
            out.append(text[i++]);
        }
    }
    return out;
}

const char* chars(const xmlChar* text) { return reinterpret_cast<const char*>(text); }

enum class Element { DataPacket, Metadata, Fields, Field, Params, RowData, Row };

const char* elementName(Element element) {
    switch (element) {
        case Element::DataPacket:
            return "DATAPACKET";
        case Element::Metadata:
            return "METADATA";
        case Element::Fields:
            return "FIELDS";
        case Element::Field:
            return "FIELD";
        case Element::Params:
            return "PARAMS";
        case Element::RowData:
            return "ROWDATA";
        case Element::Row:
            return "ROW";
    }
    return "";
}

struct ParserFree {
    void operator()(xmlParserCtxtPtr context) const { xmlFreeParserCtxt(context); }
};

// libxml2 reports a text that its declared encoding cannot convert through its global error
// functions (the structured one where the host set one, else the generic one; both kept per
// thread), not through the parser's own handler; and then it either stops the parser as if
// the document had ended or goes on without the bytes. While a packet is read both functions
// are these, which keep the first message for the refusal instead of the host's handler or
// standard error seeing it.
class LibxmlMessages {
  public:
    LibxmlMessages()
        : generic_(xmlGenericError),
          genericContext_(xmlGenericErrorContext),
          structured_(xmlStructuredError),
          structuredContext_(xmlStructuredErrorContext) {
        xmlSetGenericErrorFunc(this, &LibxmlMessages::onGeneric);
        xmlSetStructuredErrorFunc(this, &LibxmlMessages::onStructured);
    }
    ~LibxmlMessages() {
        xmlSetStructuredErrorFunc(structuredContext_, structured_);
        xmlSetGenericErrorFunc(genericContext_, generic_);
    }
    LibxmlMessages(const LibxmlMessages&) = delete;
    LibxmlMessages& operator=(const LibxmlMessages&) = delete;

    // The first message's first line; empty when there was none.
    QString first() const { return QString::fromUtf8(text_).trimmed(); }

  private:
    static void onGeneric(void* context, const char* format, ...) {
        char piece[256];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(piece, sizeof piece, format, arguments);
        va_end(arguments);
        static_cast<LibxmlMessages*>(context)->add(piece);
    }
    // A template, because libxml2 changed the constness of the error argument between versions.
    template <typename Error>
    static void onStructured(void* context, Error* error) {
        if (error != nullptr && error->message != nullptr)
            static_cast<LibxmlMessages*>(context)->add(error->message);
    }
    // Messages come in pieces; the first line is kept, up to a length worth showing.
    void add(const char* piece) {
        for (const char* c = piece; *c != '\0' && !complete_; ++c) {
            if (*c == '\n' || text_.size() >= 200)
                complete_ = !text_.trimmed().isEmpty();
            else
                text_ += *c;
        }
    }

    xmlGenericErrorFunc generic_;
    void* genericContext_;
    xmlStructuredErrorFunc structured_;
    void* structuredContext_;
    QByteArray text_;
    bool complete_ = false;
};

struct FdClose {
    void operator()(int* fd) const {
        ::close(*fd);
        delete fd;
    }
};

class PacketReader {
  public:
    PacketReader(const QString& path, const DataPacketLimits& limits, PacketRowSink& sink)
        : path_(path), limits_(limits), sink_(sink) {}

    void read() {
        const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) fail("no data packet file " + path_);
        const std::unique_ptr<int, FdClose> closer(new int(fd));
        struct stat info;
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) fail("no data packet file " + path_);
        if (info.st_size > limits_.maxBytes) {
            refuse(QStringLiteral("%1 bytes, more than a data packet holds (%2)")
                       .arg(info.st_size)
                       .arg(limits_.maxBytes));
            throwRefusal();
        }

        xmlInitParser();
        const LibxmlMessages messages;
        xmlSAXHandler sax;
        std::memset(&sax, 0, sizeof sax);
        sax.initialized = XML_SAX2_MAGIC;
        sax.startElementNs = &PacketReader::onStart;
        sax.endElementNs = &PacketReader::onEnd;
        sax.characters = &PacketReader::onText;
        sax.ignorableWhitespace = &PacketReader::onText;
        sax.cdataBlock = &PacketReader::onCData;
        sax.internalSubset = &PacketReader::onDoctype;
        sax.externalSubset = &PacketReader::onDoctype;
        sax.reference = &PacketReader::onReference;
        sax.serror = &PacketReader::onError;

        // A small packet is read in one small chunk (a file may still grow meanwhile).
        const qsizetype chunkBytes =
            std::clamp<qsizetype>(qsizetype(info.st_size) + 1, 4096, ChunkBytes);
        std::vector<char> chunk(static_cast<size_t>(chunkBytes));
        const qsizetype first = readSome(fd, chunk.data(), 4);
        context_.reset(
            xmlCreatePushParserCtxt(&sax, this, chunk.data(), int(first), nullptr));
        if (!context_) fail("cannot read " + path_);
        xmlCtxtUseOptions(context_.get(),
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        // Without substitution libxml2 hands an attribute's "&" on as "&#38;". Nothing but the
        // predefined entities and character references can be substituted: a DOCTYPE stops the
        // parser before any declaration in it is read.
        context_->replaceEntities = 1;
        qint64 total = first;
        for (;;) {
            const qsizetype n = readSome(fd, chunk.data(), chunkBytes);
            total += n;
            if (total > limits_.maxBytes) {
                refuse(QStringLiteral("more than %1 bytes").arg(limits_.maxBytes));
                break;
            }
            xmlParseChunk(context_.get(), chunk.data(), int(n), n == 0);
            if (n == 0 || !refusal_.isEmpty() || context_->disableSAX) break;
        }
        if (!refusal_.isEmpty()) throwRefusal();
        if (!context_->wellFormed || !context_->nsWellFormed) {
            refuse("not well-formed XML: " + parseError_);
            throwRefusal();
        }
        // For the parser a text its encoding cannot convert is no error of the document (the
        // message went to the functions above), and it may have stopped there without one:
        // elements still open tell that.
        if (const QString message = messages.first(); !message.isEmpty()) {
            refuse("not well-formed XML: " + message);
            throwRefusal();
        }
        if (!open_.empty()) {
            refuse(QStringLiteral("it ends inside <%1>").arg(within()));
            throwRefusal();
        }
        if (!sawFields_) refuse("no METADATA/FIELDS");
        if (!sawRows_) refuse("no ROWDATA");
        if (!refusal_.isEmpty()) throwRefusal();
    }

  private:
    static constexpr qsizetype ChunkBytes = 256 * 1024;

    qsizetype readSome(int fd, char* buffer, qsizetype size) {
        qsizetype got = 0;
        while (got < size) {
            const ssize_t n = ::read(fd, buffer + got, size_t(size - got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) fail("cannot read " + path_ + ": " + QString::fromLocal8Bit(strerror(errno)));
            if (n == 0) break;
            got += n;
        }
        return got;
    }

    // The first reason counts; the parser stops and nothing more is built.
    void refuse(const QString& why) {
        if (refusal_.isEmpty()) refusal_ = why;
        if (context_) xmlStopParser(context_.get());
    }
    [[noreturn]] void throwRefusal() const {
        fail("not a data packet: " + path_ + ": " + refusal_);
    }

    static PacketReader& self(void* context) { return *static_cast<PacketReader*>(context); }

    static void onStart(void* context, const xmlChar* name, const xmlChar* prefix,
                        const xmlChar*, int namespaces, const xmlChar**, int count, int,
                        const xmlChar** attributes) {
        PacketReader& reader = self(context);
        if (!reader.refusal_.isEmpty()) return;
        if (prefix || namespaces > 0) {
            reader.refuse("a data packet uses no namespaces");
            return;
        }
        reader.element(chars(name), count, attributes);
    }

    static void onEnd(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
        PacketReader& reader = self(context);
        if (!reader.open_.empty()) reader.open_.pop_back();
    }

    static void onText(void* context, const xmlChar* text, int size) {
        PacketReader& reader = self(context);
        for (int i = 0; i < size; ++i) {
            const xmlChar c = text[i];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                reader.refuse(QStringLiteral("unexpected content in <%1>").arg(reader.within()));
                return;
            }
        }
    }

    static void onCData(void* context, const xmlChar*, int) {
        PacketReader& reader = self(context);
        reader.refuse(QStringLiteral("unexpected content in <%1>").arg(reader.within()));
    }

    static void onDoctype(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
        self(context).refuse("a data packet has no DOCTYPE");
    }

    static void onReference(void* context, const xmlChar*) {
        self(context).refuse("a data packet refers to no entity");
    }

    // Keeps the first message; later ones follow from it. A template, because libxml2 changed
    // the constness of the error argument between versions.
    template <typename Error>
    static void onError(void* context, Error* error) {
        PacketReader& reader = self(context);
        if (reader.parseError_.isEmpty() && error && error->message) {
            reader.parseError_ = QStringLiteral("line %1: %2")
                                     .arg(error->line)
                                     .arg(QString::fromUtf8(error->message).trimmed());
        }
    }

    QString within() const {
        return open_.empty() ? QString() : QString::fromLatin1(elementName(open_.back()));
    }

    void element(const char* name, int count, const xmlChar** attributes) {
        const auto is = [name](const char* expected) { return std::strcmp(name, expected) == 0; };
        std::optional<Element> opened;
        if (open_.empty()) {
            if (is("DATAPACKET")) opened = Element::DataPacket;
        } else {
            switch (open_.back()) {
                case Element::DataPacket:
                    if (is("METADATA") && !std::exchange(sawMetadata_, true)) {
                        opened = Element::Metadata;
                    } else if (is("ROWDATA") && sawFields_ && !std::exchange(sawRows_, true)) {
                        opened = Element::RowData;
                        sink_.start(fields_);
                    }
                    break;
                case Element::Metadata:
                    if (is("FIELDS") && !std::exchange(sawFields_, true)) {
                        opened = Element::Fields;
                    } else if (is("PARAMS")) {
                        opened = Element::Params;
                    }
                    break;
                case Element::Fields:
                    if (is("FIELD")) {
                        opened = Element::Field;
                        field(count, attributes);
                    }
                    break;
                case Element::RowData:
                    if (is("ROW")) {
                        heartbeat();
                        opened = Element::Row;
                        row(count, attributes);
                    }
                    break;
                default:
                    break;
            }
        }
        if (!opened) {
            refuse(open_.empty() ? QStringLiteral("the root element is <%1>, not <DATAPACKET>")
                                       .arg(QString::fromUtf8(name))
                                 : QStringLiteral("unexpected <%1> in <%2>")
                                       .arg(QString::fromUtf8(name), within()));
            return;
        }
        open_.push_back(*opened);
    }

    void field(int count, const xmlChar** attributes) {
        if (fields_.size() >= limits_.maxFields) {
            refuse(QStringLiteral("more than %1 fields").arg(limits_.maxFields));
            return;
        }
        std::optional<QByteArrayView> attribute, typeText, widthText, fieldName;
        for (int i = 0; i < count; ++i) {
            const xmlChar** a = attributes + 5 * i;
            if (a[1]) {
                refuse("a data packet uses no namespaces");
                return;
            }
            const QByteArrayView value(chars(a[3]), a[4] - a[3]);
            const char* key = chars(a[0]);
            if (std::strcmp(key, "attrname") == 0) attribute = value;
            if (std::strcmp(key, "fieldtype") == 0) typeText = value;
            if (std::strcmp(key, "WIDTH") == 0) widthText = value;
            if (std::strcmp(key, "fieldname") == 0) fieldName = value;
        }
        if (!attribute || attribute->isEmpty()) return refuse("a FIELD without attrname");
        // A name's own escapes take up to eight bytes per unit it stands for.
        if (attribute->size() > limits_.maxFieldNameBytes ||
            (fieldName && fieldName->size() > EscapedUnitBytes * limits_.maxFieldNameBytes)) {
            return refuse(QStringLiteral("a field name longer than %1 bytes")
                              .arg(limits_.maxFieldNameBytes));
        }
        const QString attributeText = textOf(attribute->data(), attribute->size());
        if (columns_.contains(attribute->toByteArray())) {
            return refuse("two fields named " + attributeText);
        }
        const auto type = typeNamed(typeText.value_or(QByteArrayView()));
        if (!type) {
            return refuse("field " + attributeText + " has the unknown fieldtype \"" +
                          QString::fromUtf8(typeText.value_or(QByteArrayView()).toByteArray()) +
                          '"');
        }
        int width = 0;
        if (widthText) {
            bool ok = false;
            width = widthText->toByteArray().toInt(&ok);
            if (!ok || width < 0) return refuse("field " + attributeText + ": bad WIDTH");
        }
        QString name = attributeText;
        if (fieldName) {
            const auto real = unescaped(textOf(fieldName->data(), fieldName->size()));
            if (!real) return refuse("field " + attributeText + ": a broken escape in its name");
            if (real->toUtf8().size() > limits_.maxFieldNameBytes) {
                return refuse(QStringLiteral("a field name longer than %1 bytes")
                                  .arg(limits_.maxFieldNameBytes));
            }
            name = *real;
        }
        columns_.insert(attribute->toByteArray(), int(fields_.size()));
        fields_.append({name, *type, width});
        interned_.push_back(nullptr);
        last_.emplace_back();
    }

    int columnOf(const xmlChar* name) {
        // Attribute names are interned by the parser, and rows name their fields in the same
        // order: most look-ups are one pointer comparison.
        if (next_ < interned_.size() && interned_[next_] == name) return int(next_++);
        int column = byName_.value(name, -1);
        if (column < 0) {
            column = columns_.value(QByteArray(chars(name)), -1);
            if (column < 0) return -1;
            byName_.insert(name, column);
            interned_[size_t(column)] = name;
        }
        next_ = size_t(column) + 1;
        return column;
    }

    void row(int count, const xmlChar** attributes) {
        const qsizetype rows = rowCount_;
        const qsizetype fields = fields_.size();
        if (rows >= limits_.maxRows || (fields > 0 && rows >= limits_.maxCells / fields)) {
            refuse(QStringLiteral("more than %1 rows of %2 fields: more than a data packet "
                                  "holds (%3 rows, %4 values)")
                       .arg(rows)
                       .arg(fields)
                       .arg(limits_.maxRows)
                       .arg(limits_.maxCells));
            return;
        }
        rowColumns_.resize(size_t(count));
        rowValues_.resize(size_t(count));
        next_ = 0;
        for (int i = 0; i < count; ++i) {
            const xmlChar** a = attributes + 5 * i;
            const int column = a[1] ? -1 : columnOf(a[0]);
            if (column < 0) {
                refuse(QStringLiteral("row %1: attribute %2 names no field")
                           .arg(rows)
                           .arg(QString::fromUtf8(chars(a[0]))));
                return;
            }
            rowColumns_[size_t(i)] = column;
        }
        for (int i = 0; i < count; ++i) {
            const xmlChar** a = attributes + 5 * i;
            rowValues_[size_t(i)] = valueOf(rowColumns_[size_t(i)], chars(a[3]), a[4] - a[3]);
            if (!refusal_.isEmpty()) return;
        }
        sink_.row(rowColumns_, rowValues_);
        ++rowCount_;
    }

    // The value of one attribute; a null after a refusal. The previous value of the field is
    // reused when the text is the same: repeated values (sex, department) share one string.
    QVariant valueOf(int column, const char* bytes, qsizetype size) {
        Last& last = last_[size_t(column)];
        if (last.value.isValid() && last.bytes.size() == size &&
            std::memcmp(last.bytes.constData(), bytes, size_t(size)) == 0) {
            return last.value;
        }
        const FieldDef& field = fields_[column];
        QString text = textOf(bytes, size);
        if (std::memchr(bytes, 0xF4, size_t(size))) {
            auto real = unescaped(text);
            if (!real) {
                refuse(QStringLiteral("row %1: a broken escape in field %2")
                           .arg(rowCount_)
                           .arg(field.name));
                return {};
            }
            text = std::move(*real);
        }
        QVariant value;
        if (field.type == FieldType::String) {
            value = QVariant(std::move(text));
        } else if (auto converted = convertValue(field.type, text)) {
            value = std::move(*converted);
        } else {
            refuse(QStringLiteral("row %1: \"%2\" is not a valid %3 for field %4")
                       .arg(rowCount_)
                       .arg(text.left(40), typeName(field.type), field.name));
            return {};
        }
        if (size <= 256) {
            last.bytes.resize(size);
            std::memcpy(last.bytes.data(), bytes, size_t(size));
            last.value = value;
        }
        return value;
    }

    struct Last {
        QByteArray bytes;
        QVariant value;
    };

    QString path_;
    DataPacketLimits limits_;
    PacketRowSink& sink_;
    std::unique_ptr<xmlParserCtxt, ParserFree> context_;
    QString refusal_;
    QString parseError_;
    std::vector<Element> open_;
    bool sawMetadata_ = false;
    bool sawFields_ = false;
    bool sawRows_ = false;

    QList<FieldDef> fields_;
    QHash<QByteArray, int> columns_;              // attrname -> field
    QHash<const xmlChar*, int> byName_;           // interned attribute name -> field
    std::vector<const xmlChar*> interned_;        // field -> its interned name, once seen
    size_t next_ = 0;                             // the field a row's next attribute likely is
    std::vector<Last> last_;                      // per field
    qsizetype rowCount_ = 0;
    std::vector<int> rowColumns_;                 // the fields of the row being read
    std::vector<QVariant> rowValues_;             // and their values
};

// A row costs what it holds: it reaches only as far as its last value (all of the fields once
// it holds at least half of them), and the nulls after that are added once the whole packet
// is read and known to be within the limits.
class RowSetSink final : public PacketRowSink {
  public:
    void start(const QList<FieldDef>& fields) override { rows_.fields = fields; }
    void row(const std::vector<int>& columns, std::vector<QVariant>& values) override {
        const qsizetype fields = rows_.fields.size();
        const qsizetype count = qsizetype(columns.size());
        const int last = columns.empty() ? -1 : *std::max_element(columns.begin(), columns.end());
        Row& row = rows_.rows.emplace_back();
        row.reserve(2 * count >= fields ? fields : last + 1);
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const int column = columns[i];
            while (row.size() < column) row.emplace_back();
            if (column < row.size()) {
                row[column] = std::move(values[i]);
            } else {
                row.emplace_back(std::move(values[i]));
            }
        }
    }
    RowSet rows() {
        const qsizetype fields = rows_.fields.size();
        for (Row& row : rows_.rows) {
            if (row.size() < fields) row.resize(fields);
        }
        return std::move(rows_);
    }

  private:
    RowSet rows_;
};

}  // namespace

void readDataPacket(const QString& path, PacketRowSink& sink, const DataPacketLimits& limits) {
    PacketReader(path, limits, sink).read();
}

RowSet readDataPacket(const QString& path, const DataPacketLimits& limits) {
    RowSetSink sink;
    readDataPacket(path, sink, limits);
    return sink.rows();
}

RowSet readDataPacket(const QString& path) { return readDataPacket(path, DataPacketLimits()); }

namespace {

constexpr char MarkOpening[] = "<?cvpersonpack export=\"";
constexpr char MarkClosing[] = "\"?>";
constexpr qsizetype MaxMarkSize = 64;

bool isMark(QByteArrayView mark) {
    if (mark.isEmpty() || mark.size() > MaxMarkSize) return false;
    for (const char c : mark) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
              c == '-'))
            return false;
    }
    return true;
}

}  // namespace

bool appendDataPacketMark(StagedFile& file, const QString& mark) {
    const QByteArray text = mark.toLatin1();
    if (!isMark(text)) return false;
    return file.write(MarkOpening + text + MarkClosing + '\n');
}

std::optional<QString> readDataPacketMark(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    const std::unique_ptr<int, FdClose> closer(new int(fd));
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    // The mark with room for the line breaks and blanks that may follow it.
    char tail[sizeof MarkOpening + MaxMarkSize + sizeof MarkClosing + 64];
    const qint64 size = std::min<qint64>(info.st_size, qint64(sizeof tail));
    qsizetype got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, tail + got, size_t(size - got), info.st_size - size + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        got += n;
    }
    QByteArrayView text(tail, got);
    while (!text.isEmpty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                               text.back() == '\t'))
        text.chop(1);
    if (!text.endsWith(MarkClosing)) return QString();
    text.chop(qsizetype(std::strlen(MarkClosing)));
    const qsizetype opening = text.lastIndexOf(QByteArrayView(MarkOpening));
    if (opening < 0) return QString();
    const QByteArrayView mark = text.sliced(opening + qsizetype(std::strlen(MarkOpening)));
    return isMark(mark) ? QString::fromLatin1(mark) : QString();
}

}  // namespace cv
