#include "DataPacket.h"

#include <libxml/tree.h>
#include <libxml/xmlreader.h>
#include <libxml/xmlwriter.h>

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>
#include <memory>
#include <utility>

#include "ClientDataSet.h"

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

std::optional<FieldType> typeNamed(const QByteArray& name) {
    static const QHash<QByteArray, FieldType> types{
        {"string", FieldType::String},   {"i4", FieldType::Integer},
        {"i8", FieldType::Integer},      {"r8", FieldType::Float},
        {"boolean", FieldType::Boolean}, {"datetime", FieldType::DateTime},
        {"bin.hex", FieldType::Blob}};
    const auto it = types.find(name);
    if (it == types.end()) return std::nullopt;
    return *it;
}

// XML 1.0 cannot carry control characters other than tab, line feed and carriage return, nor
// U+FFFE, U+FFFF or an unpaired surrogate, not even as character references.
bool xmlCarries(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
        } else if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || QChar::isSurrogate(c) ||
                   c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
    }
    return true;
}

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

struct WriterFree {
    void operator()(xmlTextWriterPtr writer) const { xmlFreeTextWriter(writer); }
};

int writeToFile(void* file, const char* buffer, int length) {
    return static_cast<QSaveFile*>(file)->write(buffer, length) == length ? length : -1;
}

const xmlChar* xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

}  // namespace

void writeDataPacket(const QString& path, const RowSet& data) {
    for (const FieldDef& field : data.fields) {
        if (!xmlCarries(field.name)) fail("field name that XML cannot carry: " + field.name);
    }
    const QList<QByteArray> names = attributeNames(data.fields);
    xmlInitParser();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) fail("cannot write " + path + ": " + file.errorString());
    xmlOutputBufferPtr out = xmlOutputBufferCreateIO(writeToFile, nullptr, &file, nullptr);
    if (!out) fail("cannot write " + path);
    std::unique_ptr<xmlTextWriter, WriterFree> writer(xmlNewTextWriter(out));
    if (!writer) {
        xmlOutputBufferClose(out);
        fail("cannot write " + path);
    }
    const auto check = [&](int result) {
        if (result < 0) fail("cannot write " + path + ": " + file.errorString());
    };
    xmlTextWriterPtr w = writer.get();
    check(xmlTextWriterSetIndent(w, 1));
    check(xmlTextWriterStartDocument(w, "1.0", "UTF-8", nullptr));
    check(xmlTextWriterStartElement(w, xml("DATAPACKET")));
    check(xmlTextWriterWriteAttribute(w, xml("Version"), xml("2.0")));
    check(xmlTextWriterStartElement(w, xml("METADATA")));
    check(xmlTextWriterStartElement(w, xml("FIELDS")));
    for (qsizetype i = 0; i < data.fields.size(); ++i) {
        const FieldDef& field = data.fields[i];
        const QByteArray name = field.name.toUtf8();
        check(xmlTextWriterStartElement(w, xml("FIELD")));
        check(xmlTextWriterWriteAttribute(w, xml("attrname"), xml(names[i].constData())));
        check(xmlTextWriterWriteAttribute(w, xml("fieldtype"), xml(typeName(field.type))));
        if (field.width > 0) {
            check(xmlTextWriterWriteAttribute(w, xml("WIDTH"),
                                              xml(QByteArray::number(field.width).constData())));
        }
        if (names[i] != name) {
            check(xmlTextWriterWriteAttribute(w, xml("fieldname"), xml(name.constData())));
        }
        check(xmlTextWriterEndElement(w));
    }
    check(xmlTextWriterEndElement(w));
    check(xmlTextWriterStartElement(w, xml("PARAMS")));
    check(xmlTextWriterEndElement(w));
    check(xmlTextWriterEndElement(w));
    check(xmlTextWriterStartElement(w, xml("ROWDATA")));
    for (qsizetype r = 0; r < data.rows.size(); ++r) {
        const Row& row = data.rows[r];
        if (row.size() != data.fields.size()) fail(QStringLiteral("row %1 is malformed").arg(r));
        check(xmlTextWriterStartElement(w, xml("ROW")));
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (row[i].isNull()) continue;
            const FieldType type = data.fields[i].type;
            const auto value = convertValue(type, row[i]);
            const QString text = !value                    ? QString()
                                 : type == FieldType::Blob ? value->toByteArray().toHex()
                                                           : valueText(*value);
            if (!value || !xmlCarries(text)) {
                fail(QStringLiteral("row %1, field %2: the value cannot be saved as %3")
                         .arg(r)
                         .arg(data.fields[i].name, typeName(type)));
            }
            check(xmlTextWriterWriteAttribute(w, xml(names[i].constData()),
                                              xml(text.toUtf8().constData())));
        }
        check(xmlTextWriterEndElement(w));
    }
    check(xmlTextWriterEndDocument(w));
    writer.reset();
    if (!file.commit()) fail("cannot write " + path + ": " + file.errorString());
}

namespace {

struct ReaderFree {
    void operator()(xmlTextReaderPtr reader) const { xmlFreeTextReader(reader); }
};

// Keeps the first message; later ones follow from it. A template, because libxml2 changed the
// constness of the error argument between versions.
template <typename Error>
void keepFirstError(void* messages, Error* error) {
    auto* message = static_cast<QString*>(messages);
    if (message->isEmpty() && error && error->message) {
        *message = QStringLiteral("line %1: %2")
                       .arg(error->line)
                       .arg(QString::fromUtf8(error->message).trimmed());
    }
}

QByteArray bytes(const xmlChar* text) { return QByteArray(reinterpret_cast<const char*>(text)); }

class PacketReader {
  public:
    PacketReader(xmlTextReaderPtr reader, const QString& path) : reader_(reader), path_(path) {}

    RowSet read() {
        int result;
        while ((result = xmlTextReaderRead(reader_)) == 1) {
            switch (xmlTextReaderNodeType(reader_)) {
                case XML_READER_TYPE_ELEMENT:
                    element();
                    break;
                case XML_READER_TYPE_END_ELEMENT:
                    open_.removeLast();
                    break;
                case XML_READER_TYPE_WHITESPACE:
                case XML_READER_TYPE_SIGNIFICANT_WHITESPACE:
                case XML_READER_TYPE_COMMENT:
                case XML_READER_TYPE_PROCESSING_INSTRUCTION:
                    break;
                case XML_READER_TYPE_DOCUMENT_TYPE:
                    refuse("a data packet has no DOCTYPE");
                default:
                    refuse("unexpected content in <" + QString::fromUtf8(parent()) + ">");
            }
        }
        if (result < 0) refuse("not well-formed XML: " + parseError_);
        if (!sawFields_) refuse("no METADATA/FIELDS");
        if (!sawRows_) refuse("no ROWDATA");
        return std::move(data_);
    }

    QString* parseError() { return &parseError_; }

  private:
    [[noreturn]] void refuse(const QString& why) const {
        fail("not a data packet: " + path_ + ": " + why);
    }

    QByteArray parent() const { return open_.isEmpty() ? QByteArray() : open_.back(); }

    void element() {
        const QByteArray name = bytes(xmlTextReaderConstName(reader_));
        const QByteArray within = parent();
        const bool empty = xmlTextReaderIsEmptyElement(reader_) == 1;
        if (within.isEmpty() && name != "DATAPACKET") {
            refuse("the root element is <" + QString::fromUtf8(name) + ">, not <DATAPACKET>");
        }
        if (within == "FIELDS" && name == "FIELD") {
            field();
        } else if (within == "ROWDATA" && name == "ROW") {
            row();
        } else if (!expected(within, name)) {
            refuse("unexpected <" + QString::fromUtf8(name) + "> in <" + QString::fromUtf8(within) +
                   ">");
        }
        if (!empty) open_.append(name);
    }

    // The packet's frame: each of its elements once and in order; PARAMS is not read.
    bool expected(const QByteArray& within, const QByteArray& name) {
        if (within.isEmpty()) return true;
        if (within == "DATAPACKET" && name == "METADATA") return !std::exchange(sawMetadata_, true);
        if (within == "METADATA" && name == "FIELDS") return !std::exchange(sawFields_, true);
        if (within == "METADATA" && name == "PARAMS") return true;
        if (within == "DATAPACKET" && name == "ROWDATA") {
            return sawFields_ && !std::exchange(sawRows_, true);
        }
        return false;
    }

    void field() {
        QHash<QByteArray, QByteArray> attributes;
        while (xmlTextReaderMoveToNextAttribute(reader_) == 1) {
            attributes.insert(bytes(xmlTextReaderConstName(reader_)),
                              bytes(xmlTextReaderConstValue(reader_)));
        }
        xmlTextReaderMoveToElement(reader_);
        const QByteArray attribute = attributes.value("attrname");
        if (attribute.isEmpty()) refuse("a FIELD without attrname");
        if (columns_.contains(attribute)) {
            refuse("two fields named " + QString::fromUtf8(attribute));
        }
        const QByteArray typeText = attributes.value("fieldtype");
        const auto type = typeNamed(typeText);
        if (!type) {
            refuse("field " + QString::fromUtf8(attribute) + " has the unknown fieldtype \"" +
                   QString::fromUtf8(typeText) + '"');
        }
        int width = 0;
        if (attributes.contains("WIDTH")) {
            bool ok = false;
            width = attributes.value("WIDTH").toInt(&ok);
            if (!ok || width < 0) refuse("field " + QString::fromUtf8(attribute) + ": bad WIDTH");
        }
        const QByteArray name = attributes.value("fieldname", attribute);
        columns_.insert(attribute, int(data_.fields.size()));
        data_.fields.append({QString::fromUtf8(name), *type, width});
    }

    void row() {
        Row row(data_.fields.size());
        while (xmlTextReaderMoveToNextAttribute(reader_) == 1) {
            const QByteArray name = bytes(xmlTextReaderConstName(reader_));
            const int column = columns_.value(name, -1);
            if (column < 0) {
                refuse(QStringLiteral("row %1: attribute %2 names no field")
                           .arg(data_.rows.size())
                           .arg(QString::fromUtf8(name)));
            }
            const QString text =
                QString::fromUtf8(reinterpret_cast<const char*>(xmlTextReaderConstValue(reader_)));
            auto value = convertValue(data_.fields[column].type, text);
            if (!value) {
                refuse(QStringLiteral("row %1: \"%2\" is not a valid %3 for field %4")
                           .arg(data_.rows.size())
                           .arg(text.left(40), typeName(data_.fields[column].type),
                                data_.fields[column].name));
            }
            row[column] = std::move(*value);
        }
        xmlTextReaderMoveToElement(reader_);
        data_.rows.append(std::move(row));
    }

    xmlTextReaderPtr reader_;
    QString path_;
    QString parseError_;
    QList<QByteArray> open_;
    QHash<QByteArray, int> columns_;
    RowSet data_;
    bool sawMetadata_ = false;
    bool sawFields_ = false;
    bool sawRows_ = false;
};

}  // namespace

RowSet readDataPacket(const QString& path) {
    if (!QFileInfo(path).isFile()) fail("no data packet file " + path);
    xmlInitParser();
    std::unique_ptr<xmlTextReader, ReaderFree> reader(
        xmlReaderForFile(QFile::encodeName(path).constData(), nullptr,
                         XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
    if (!reader) fail("cannot read " + path);
    PacketReader packet(reader.get(), path);
    xmlTextReaderSetStructuredErrorHandler(reader.get(), keepFirstError, packet.parseError());
    return packet.read();
}

}  // namespace cv
