// Reading a data packet: libxml2's SAX2 parser fed from the file in chunks, without
// XML_PARSE_HUGE, so that its own limits on names, values and elements stay. The packet's frame
// is checked as it streams by, every row against the limits before anything is built for it,
// and a row costs only the values it holds until the whole packet is read.
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QHash>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "DataPacket.h"
#include "DataPacketFormat.h"
#include "Heartbeat.h"

namespace cv {
namespace {

using namespace packet;

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
        context_.reset(xmlCreatePushParserCtxt(&sax, this, chunk.data(), int(first), nullptr));
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
            if (n < 0)
                fail("cannot read " + path_ + ": " + QString::fromLocal8Bit(strerror(errno)));
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

    static void onStart(void* context, const xmlChar* name, const xmlChar* prefix, const xmlChar*,
                        int namespaces, const xmlChar**, int count, int,
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
            return refuse(
                QStringLiteral("a field name longer than %1 bytes").arg(limits_.maxFieldNameBytes));
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
    QHash<QByteArray, int> columns_;        // attrname -> field
    QHash<const xmlChar*, int> byName_;     // interned attribute name -> field
    std::vector<const xmlChar*> interned_;  // field -> its interned name, once seen
    size_t next_ = 0;                       // the field a row's next attribute likely is
    std::vector<Last> last_;                // per field
    qsizetype rowCount_ = 0;
    std::vector<int> rowColumns_;      // the fields of the row being read
    std::vector<QVariant> rowValues_;  // and their values
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
