// XML data packets with real libxml2: every value back exactly, the bytes of the libxml2 text
// writer that first wrote them, refusal of broken or hostile files before memory is spent on
// them, and saves that fail at any byte without harm.
#include <fcntl.h>
#include <libxml/tree.h>
#include <libxml/xmlwriter.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <csignal>
#include <optional>
#include <random>

#include "ClientDataSet.h"
#include "DataPacket.h"
#include "PacketTable.h"
#include "PlatformTest.h"
#include "StagedFile.h"

namespace cv::test {
namespace {

using DataPacketTest = PlatformTest;

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

RowSet roundTrip(const RowSet& data, const QString& path) {
    ClientDataSet out("out");
    out.setData(data);
    out.saveToFile(path);
    ClientDataSet in("in");
    in.loadFromFile(path);
    return in.data();
}

// Every cell of `back` is the cell of `data` as a field of its type holds it.
void expectSameValues(const RowSet& back, const RowSet& data, const std::string& what) {
    ASSERT_EQ(back.fields, data.fields) << what;
    ASSERT_EQ(back.rows.size(), data.rows.size()) << what;
    for (qsizetype r = 0; r < data.rows.size(); ++r) {
        for (qsizetype f = 0; f < data.fields.size(); ++f) {
            const QVariant expected = *convertValue(data.fields[f].type, data.rows[r][f]);
            EXPECT_EQ(back.rows[r][f].isNull(), expected.isNull()) << what << " " << r << "/" << f;
            EXPECT_EQ(back.rows[r][f], expected) << what << " " << r << "/" << f;
        }
    }
}

// The packets' first writer, libxml2's text writer with indentation, kept as the reference
// for the writer that replaced it: the two give the same bytes for every value both write.
namespace reference {

const char* typeName(FieldType type) {
    static const char* const names[] = {"string", "i8", "r8", "boolean", "datetime", "bin.hex"};
    return names[int(type)];
}

QList<QByteArray> attributeNames(const QList<FieldDef>& fields) {
    QList<QByteArray> names;
    QSet<QByteArray> taken;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        QByteArray name = fields[i].name.toUtf8();
        for (qsizetype n = i;
             xmlValidateNCName(reinterpret_cast<const xmlChar*>(name.constData()), 0) != 0 ||
             name.toLower().startsWith("xml") || taken.contains(name);
             ++n) {
            name = '_' + QByteArray::number(n);
        }
        taken.insert(name);
        names.append(name);
    }
    return names;
}

QByteArray write(const RowSet& data) {
    const auto x = [](const char* text) { return reinterpret_cast<const xmlChar*>(text); };
    QByteArray bytes;
    xmlOutputBufferPtr out = xmlOutputBufferCreateIO(
        [](void* target, const char* buffer, int length) {
            static_cast<QByteArray*>(target)->append(buffer, length);
            return length;
        },
        nullptr, &bytes, nullptr);
    xmlTextWriterPtr w = xmlNewTextWriter(out);
    const QList<QByteArray> names = attributeNames(data.fields);
    xmlTextWriterSetIndent(w, 1);
    xmlTextWriterStartDocument(w, "1.0", "UTF-8", nullptr);
    xmlTextWriterStartElement(w, x("DATAPACKET"));
    xmlTextWriterWriteAttribute(w, x("Version"), x("2.0"));
    xmlTextWriterStartElement(w, x("METADATA"));
    xmlTextWriterStartElement(w, x("FIELDS"));
    for (qsizetype i = 0; i < data.fields.size(); ++i) {
        const FieldDef& field = data.fields[i];
        xmlTextWriterStartElement(w, x("FIELD"));
        xmlTextWriterWriteAttribute(w, x("attrname"), x(names[i].constData()));
        xmlTextWriterWriteAttribute(w, x("fieldtype"), x(typeName(field.type)));
        if (field.width > 0) {
            xmlTextWriterWriteAttribute(w, x("WIDTH"),
                                        x(QByteArray::number(field.width).constData()));
        }
        if (names[i] != field.name.toUtf8()) {
            xmlTextWriterWriteAttribute(w, x("fieldname"), x(field.name.toUtf8().constData()));
        }
        xmlTextWriterEndElement(w);
    }
    xmlTextWriterEndElement(w);
    xmlTextWriterStartElement(w, x("PARAMS"));
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
    xmlTextWriterStartElement(w, x("ROWDATA"));
    for (const Row& row : data.rows) {
        xmlTextWriterStartElement(w, x("ROW"));
        for (qsizetype i = 0; i < row.size(); ++i) {
            if (row[i].isNull()) continue;
            const FieldType type = data.fields[i].type;
            const QVariant value = *convertValue(type, row[i]);
            const QString text =
                type == FieldType::Blob ? value.toByteArray().toHex() : valueText(value);
            xmlTextWriterWriteAttribute(w, x(names[i].constData()), x(text.toUtf8().constData()));
        }
        xmlTextWriterEndElement(w);
    }
    xmlTextWriterEndDocument(w);
    xmlFreeTextWriter(w);
    return bytes;
}

}  // namespace reference

// Seeded random datasets: field names that need made-up attribute names, every type, nulls,
// and texts drawn from pieces that stress escaping and encoding. With `hostile`, also what
// XML cannot hold: control characters, U+FFFE, U+FFFF, unpaired surrogates, the packet's own
// escape character and what looks like an escape.
class RandomData {
public:
    RandomData(unsigned seed, bool hostile) : random_(seed), hostile_(hostile) {}

    RowSet make() {
        static const QStringList names = {"PerUUID", "PerName", "名字",  "with space", "1st",
                                          "xmlns",   "a:b",     "_1",    "_3",         "Dup",
                                          "Dup",     "x",       "XMLid", "a&b",        "\""};
        static const QStringList hostileNames = {QStringLiteral("x\u0001y"),
                                                 QStringLiteral("\u000B"), escape() + "0041",
                                                 QStringLiteral("\uFEFFBOM")};
        RowSet data;
        const int fields = pick(0, 8);
        for (int f = 0; f < fields; ++f) {
            const QString name = hostile_ && pick(0, 3) == 0 ? hostileNames[pick(0, 3)]
                                                             : names[pick(0, names.size() - 1)];
            data.fields.append({name, FieldType(pick(0, 5)), pick(0, 2) * 20});
        }
        const int rows = pick(0, 12);
        for (int r = 0; r < rows; ++r) {
            Row row;
            for (const FieldDef& field : data.fields)
                row.append(pick(0, 4) == 0 ? QVariant() : value(field.type));
            data.rows.append(row);
        }
        return data;
    }

    static QString escape() { return QString::fromUcs4(U"\U0010FFFD", 1); }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    QString text() {
        static const QStringList ordinary = {"a",
                                             "Zhang",
                                             "0",
                                             " ",
                                             "<",
                                             ">",
                                             "&",
                                             "\"",
                                             "'",
                                             "\t",
                                             "\n",
                                             "\r",
                                             "\r\n",
                                             "]]>",
                                             "&amp;",
                                             "&#10;",
                                             "é",
                                             "张三",
                                             "·",
                                             "😀",
                                             "\u0085",
                                             "\u007F",
                                             QStringLiteral("\uFEFF"),
                                             "\uFFFD",
                                             "\uFDD0",
                                             "\uE000",
                                             "\U0010FFFC",
                                             "%",
                                             "=",
                                             "/>",
                                             "  ",
                                             "\u00A0"};
        static const QStringList hostile = {QString(QChar(0)),
                                            "\u0001",
                                            "\u0008",
                                            "\u000B",
                                            "\u000C",
                                            "\u001F",
                                            QString(QChar(0xFFFE)),
                                            QString(QChar(0xFFFF)),
                                            QString(QChar(0xD800)),
                                            QString(QChar(0xDC00)),
                                            QString(QChar(0xDBFF)),
                                            QString(QChar(0xDFFD)),
                                            escape(),
                                            escape() + "000B",
                                            escape() + "zz",
                                            QStringLiteral("\uFEFF\uFEFF")};
        QString result;
        const int pieces = pick(0, 6);
        for (int i = 0; i < pieces; ++i) {
            result += hostile_ && pick(0, 2) == 0 ? hostile[pick(0, hostile.size() - 1)]
                                                  : ordinary[pick(0, ordinary.size() - 1)];
        }
        return result;
    }

    QVariant value(FieldType type) {
        switch (type) {
            case FieldType::String:
                return text();
            case FieldType::Integer: {
                const qlonglong edges[] = {0, -1, std::numeric_limits<qlonglong>::min(),
                                           std::numeric_limits<qlonglong>::max()};
                return pick(0, 1) ? QVariant(edges[pick(0, 3)])
                                  : QVariant(qlonglong(random_()) * (pick(0, 1) ? 1 : -1));
            }
            case FieldType::Float: {
                const double edges[] = {0.1, -1e300, 5e-324, 1.0 / 3, 0.0};
                return pick(0, 1) ? edges[pick(0, 4)]
                                  : std::uniform_real_distribution<double>(-1e9, 1e9)(random_);
            }
            case FieldType::Boolean:
                return bool(pick(0, 1));
            case FieldType::DateTime:
                return QDateTime::fromMSecsSinceEpoch(qint64(random_()) * 1000 + pick(0, 999),
                                                      Qt::UTC);
            case FieldType::Blob: {
                QByteArray bytes;
                for (int n = pick(0, 20); n > 0; --n) bytes.append(char(pick(0, 255)));
                return bytes;
            }
        }
        return {};
    }

    std::mt19937 random_;
    bool hostile_;
};

TEST_F(DataPacketTest, WritesTheBytesOfTheLibxml2WriterAndReadsEveryValueBack) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        const RowSet data = RandomData(seed, false).make();
        const std::string what = "seed " + std::to_string(seed);
        writeDataPacket(path("new.per"), data);
        EXPECT_EQ(readFile(path("new.per")), reference::write(data)) << what;
        expectSameValues(readDataPacket(path("new.per")), data, what);
    }
}

// The compact table read straight from a packet against the dataset's reading of it: the
// same fields, every cell the dataset's text of its value (null where it is null), the same
// refusal; and its look-up the first row holding a text, as a scan finds it. On seeded random
// packets (hostile ones too), texts long enough to span the table's blocks, and the fuzzing
// seeds with the reproducers of known faults.
void expectSameTable(const QString& file, const std::string& what) {
    std::optional<RowSet> rows;
    std::string refusal;
    try {
        rows = readDataPacket(file);
    } catch (const DataPacketError& e) {
        refusal = e.what();
    }
    PacketTable table;
    try {
        table = PacketTable::read(file);
    } catch (const DataPacketError& e) {
        EXPECT_EQ(e.what(), refusal) << what;
        return;
    }
    ASSERT_TRUE(rows) << what << " refused: " << refusal;
    ASSERT_EQ(table.fields(), rows->fields) << what;
    ASSERT_EQ(table.size(), rows->rows.size()) << what;
    for (int f = 0; f < int(rows->fields.size()); ++f) {
        EXPECT_EQ(table.indexOf(rows->fields[f].name.toLower()),
                  rows->indexOf(rows->fields[f].name));
        QSet<QString> texts{"absent"};
        for (qsizetype r = 0; r < table.size(); ++r) {
            const QVariant& value = rows->rows[r][f];
            ASSERT_EQ(table.isNull(r, f), value.isNull()) << what << " " << r << "/" << f;
            ASSERT_EQ(table.text(r, f), valueText(value)) << what << " " << r << "/" << f;
            if (!value.isNull()) texts << valueText(value);
        }
        for (const QString& text : texts) {
            qsizetype first = -1;
            for (qsizetype r = 0; r < table.size() && first < 0; ++r)
                if (!rows->rows[r][f].isNull() && valueText(rows->rows[r][f]) == text) first = r;
            EXPECT_EQ(table.find(f, text), first) << what << " field " << f;
        }
    }
}

TEST_F(DataPacketTest, TheCompactTableHoldsWhatTheDatasetReads) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        for (const bool hostile : {false, true}) {
            const RowSet data = RandomData(seed, hostile).make();
            writeDataPacket(path("random.per"), data);
            expectSameTable(path("random.per"), "seed " + std::to_string(seed));
        }
    }
    // Texts of one and two length units, and rows larger than a block of the table.
    RowSet large{{{"A", FieldType::String, 0}, {"B", FieldType::String, 0}}, {}};
    for (const qsizetype size : {0x7FFE, 0x7FFF, 0x8000, 0x10000, 1'500'000, 3, 2'100'000})
        large.rows.append(
            Row{QString(size, QChar(char16_t(u'a' + size % 26))), QString::number(size)});
    large.rows.append(Row{QVariant(), QString(70000, u'x')});
    writeDataPacket(path("large.per"), large);
    expectSameTable(path("large.per"), "large");

    const QString seeds = path("seeds");
    ASSERT_EQ(QProcess::execute("python3", {CV_SOURCE_DIR "/fuzz/seeds.py", seeds}), 0);
    int files = 0;
    for (const char* folder : {"/datapacket", "/reproducers/datapacket"}) {
        for (const QFileInfo& file : QDir(seeds + folder).entryInfoList(QDir::Files)) {
            expectSameTable(file.filePath(), file.fileName().toStdString());
            ++files;
        }
    }
    EXPECT_GE(files, 6);
}

TEST_F(DataPacketTest, EveryCharacterOfEveryValueTravels) {
    const QString escape = RandomData::escape();
    const QList<QVariant> values{
        "it's", "\"quoted\"", "a & b", "<tag attr='x'>", "]]>", "&amp; &#10;", "one\ntwo",
        "cr\rlf\r\n", "\ttabs\t", "  blanks  ", "张三·研发部", "emoji 😀 end", QString(""),
        QVariant(), QString(10000, 'x'),
        // What XML cannot hold, even as a reference: the packet's own escape carries it.
        "memo\u000Bline", QString(QChar(0)) + "nul", "\u0001\u001F\u007F",
        QString(QChar(0xFFFE)) + QChar(0xFFFF), QString(QChar(0xD800)) + "lone",
        "lone" + QString(QChar(0xDFFF)),
        // A byte order mark leads a value like any other character.
        QStringLiteral("\uFEFFBOM"), QStringLiteral("\uFEFF"),
        QStringLiteral("\uFEFF\uFEFF\u000B\uFEFF"),
        // The escape character itself, and texts that look like escapes.
        escape, escape + "000B", escape + escape, "x" + escape + "00", escape + "zzzz",
        QString(QChar(0xDBFF)) + "0041"};
    RowSet data{{{"Value", FieldType::String, 20}}, {}};
    for (const QVariant& value : values) data.rows.append({value});
    const RowSet back = roundTrip(data, path("values.per"));
    ASSERT_EQ(back.rows.size(), values.size());
    for (qsizetype i = 0; i < values.size(); ++i) {
        EXPECT_EQ(back.rows[i][0].isNull(), values[i].isNull()) << "row " << i;
        EXPECT_EQ(valueText(back.rows[i][0]), valueText(values[i])) << "row " << i;
    }
    // Values that need no escape are written as plain XML, so a value holding a text that
    // looks like an escape is told apart from an escape.
    EXPECT_TRUE(readFile(path("values.per")).contains("<ROW Value=\"张三·研发部\"/>"));

    for (unsigned seed = 1; seed <= 400; ++seed) {
        const RowSet random = RandomData(seed, true).make();
        expectSameValues(roundTrip(random, path("random.per")), random,
                         "seed " + std::to_string(seed));
    }
}

TEST_F(DataPacketTest, AValueThatDoesNotReadAsItsTypeTravelsAsText) {
    // SQLite keeps a text in an integer column: the packet says "string" for that column.
    const RowSet data{{{"PerUUID", FieldType::String, 0}, {"PrjID", FieldType::Integer, 0}},
                      {{"p1", qlonglong(7)}, {"p2", ""}, {"p3", "x"}, {"p4", QVariant()}}};
    const RowSet back = roundTrip(data, path("mixed.per"));
    EXPECT_EQ(column(back, "PrjID"), QStringList({"7", "", "x", "<null>"}));
    EXPECT_EQ(back.fields[1].type, FieldType::String);
}

TEST_F(DataPacketTest, NullAndEmptyTravelFromTheDatabaseAndBack) {
    execute(
        "INSERT INTO CV_PersonInfo (PerUUID, PerMemo, UPassword, PerDept, PrjID) "
        "VALUES ('p1', NULL, '', NULL, 0), ('p2', '', NULL, '', NULL)");
    ClientDataSet persons("CdsExportPer");
    persons.setData(select("SELECT * FROM CV_PersonInfo ORDER BY PerUUID"));
    persons.saveToFile(path("perinfo.per"));

    const QByteArray xml = readFile(path("perinfo.per"));
    EXPECT_TRUE(xml.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"))
        << xml.left(60).data();
    EXPECT_TRUE(xml.contains("<DATAPACKET Version=\"2.0\">"));
    // PostgreSQL answers column names folded to lower case.
    EXPECT_TRUE(xml.toLower().contains("<row peruuid=\"p1\" upassword=\"\" prjid=\"0\"/>"))
        << xml.data();

    ClientDataSet loaded("perinfo");
    loaded.loadFromFile(path("perinfo.per"));
    EXPECT_EQ(loaded.data().rows, persons.data().rows);
    loaded.setFilter("PerDept=NULL");
    EXPECT_EQ(loaded.recordCount(), 1);
    EXPECT_TRUE(loaded.isNull("PerMemo"));
    EXPECT_FALSE(loaded.isNull("UPassword"));
}

TEST_F(DataPacketTest, BrokenFilesAreRefusedCleanly) {
    const QByteArray head =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<DATAPACKET Version=\"2.0\"><METADATA>"
        "<FIELDS><FIELD attrname=\"A\" fieldtype=\"string\" WIDTH=\"10\"/>"
        "<FIELD attrname=\"N\" fieldtype=\"i8\"/></FIELDS><PARAMS/></METADATA><ROWDATA>";
    const QByteArray tail = "</ROWDATA></DATAPACKET>";
    const QByteArray valid = head + "<ROW A=\"x\" N=\"1\"/>" + tail;
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i) garbage.append(char((i * 7919) % 256));
    // Packets that declare an encoding of their own, holding a byte sequence it cannot convert
    // among many rows: the parser stops there, however far it has come.
    const auto legacy = [&](const char* encoding, const QByteArray& bad, bool atEnd) {
        QByteArray rows;
        for (int i = 0; i < 2000; ++i) rows += "<ROW A=\"v" + QByteArray::number(i) + "\"/>";
        const QByteArray broken = "<ROW A=\"x" + bad + "\"/>";
        rows.insert(atEnd ? rows.size() : rows.indexOf("<ROW", rows.size() / 2), broken);
        return "<?xml version=\"1.0\" encoding=\"" + QByteArray(encoding) + "\"?>" + head.mid(39) +
               rows + tail;
    };
    const struct {
        const char* name;
        QByteArray content;
    } cases[] = {
        {"empty file", ""},
        {"not XML", "perinfo: Zhang San, 0001\n"},
        {"binary garbage", garbage},
        {"truncated", valid.left(valid.size() / 2)},
        {"unclosed root", head + "<ROW A=\"x\"/></ROWDATA>"},
        {"internal entity",
         "<?xml version=\"1.0\"?><!DOCTYPE DATAPACKET [<!ENTITY e \"boom\">]>" + valid.mid(39)},
        {"external entity",
         "<?xml version=\"1.0\"?><!DOCTYPE DATAPACKET [<!ENTITY e SYSTEM "
         "\"file:///etc/passwd\">]>" +
             head.mid(39) + "<ROW A=\"&e;\"/>" + tail},
        {"entity expansion",
         "<?xml version=\"1.0\"?><!DOCTYPE d [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
         "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>"
         "<d>&c;</d>"},
        {"external DTD",
         "<?xml version=\"1.0\"?><!DOCTYPE DATAPACKET SYSTEM \"x.dtd\">" + valid.mid(39)},
        {"undeclared entity", head + "<ROW A=\"&e;\"/>" + tail},
        {"wrong root", "<?xml version=\"1.0\"?><PACKET><METADATA/></PACKET>"},
        {"no FIELDS", "<DATAPACKET><METADATA/><ROWDATA/></DATAPACKET>"},
        {"no METADATA", "<DATAPACKET><ROWDATA/></DATAPACKET>"},
        {"no ROWDATA", "<DATAPACKET><METADATA><FIELDS/></METADATA></DATAPACKET>"},
        {"two ROWDATA", head + tail.left(10) + "<ROWDATA/></DATAPACKET>"},
        {"unknown field type",
         "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"A\" fieldtype=\"money\"/></FIELDS>"
         "</METADATA><ROWDATA/></DATAPACKET>"},
        {"field without name",
         "<DATAPACKET><METADATA><FIELDS><FIELD fieldtype=\"string\"/></FIELDS>"
         "</METADATA><ROWDATA/></DATAPACKET>"},
        {"two fields one attribute",
         "<DATAPACKET><METADATA><FIELDS><FIELD attrname=\"A\" fieldtype=\"string\"/>"
         "<FIELD attrname=\"A\" fieldtype=\"i4\"/></FIELDS></METADATA><ROWDATA/></DATAPACKET>"},
        {"row attribute without field", head + "<ROW A=\"x\" B=\"y\"/>" + tail},
        {"value not of its type", head + "<ROW N=\"12abc\"/>" + tail},
        {"text in rows", head + "Zhang San" + tail},
        {"CDATA in rows", head + "<![CDATA[ ]]>" + tail},
        {"element in a row", head + "<ROW A=\"x\"><ROW/></ROW>" + tail},
        {"rows before fields", "<DATAPACKET><ROWDATA/><METADATA><FIELDS/></METADATA></DATAPACKET>"},
        {"a namespace", head + "<ROW xmlns:p=\"urn:x\" p:A=\"x\"/>" + tail},
        {"an undeclared prefix", head + "<ROW p:A=\"x\"/>" + tail},
        {"an escape without its digits",
         head + "<ROW A=\"x" + RandomData::escape().toUtf8() + "00\"/>" + tail},
        {"an escape with lower-case digits",
         head + "<ROW A=\"" + RandomData::escape().toUtf8() + "000b\"/>" + tail},
        {"attribute over the parser's limit",
         head + "<ROW A=\"" + QByteArray(11 * 1024 * 1024, 'x') + "\"/>" + tail},
        {"GBK, an unconvertible byte among the rows", legacy("GBK", "\x81\x20", false)},
        {"Shift_JIS, an unconvertible byte in the last row", legacy("Shift_JIS", "\x85\x40", true)},
        {"UTF-8 by another name, a byte it cannot convert in a value",
         "<?xml version=\"1.0\" encoding=\"UTF-8.\"?>" + head.mid(39) +
             "<ROW A=\"00010\xCB\xCF\x31\"/>" + tail},
        {"row over the parser's limit", head + "<ROW A=\"" + QByteArray(5 * 1000 * 1000, 'x') +
                                            "\" N=\"" + QByteArray(5 * 1000 * 1000, '1') + "\"/>" +
                                            tail},
    };
    ClientDataSet set("kept");
    writeFile(path("valid.per"), valid);
    set.loadFromFile(path("valid.per"));
    const RowSet before = set.data();
    // What the parser has to say goes into the refusal, not to the host's standard error.
    const int captured = ::open(QFile::encodeName(path("stderr.txt")).constData(),
                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(captured, 0);
    const int savedStderr = ::dup(2);
    ::dup2(captured, 2);
    ::close(captured);
    // Nor to an error function of the host's own, which is its own again after each read.
    int hostCalls = 0;
    const xmlStructuredErrorFunc hostFunction = [](void* calls, auto*) {
        ++*static_cast<int*>(calls);
    };
    xmlSetStructuredErrorFunc(&hostCalls, hostFunction);
    for (const auto& c : cases) {
        writeFile(path("broken.per"), c.content);
        try {
            set.loadFromFile(path("broken.per"));
            ADD_FAILURE() << c.name << ": loaded";
        } catch (const DataPacketError& e) {
            EXPECT_NE(std::string(e.what()).find("broken.per"), std::string::npos) << e.what();
        }
        EXPECT_EQ(set.data().rows, before.rows) << c.name;
    }
    const bool hostFunctionBack = xmlStructuredError == hostFunction;
    xmlSetStructuredErrorFunc(nullptr, nullptr);
    ::dup2(savedStderr, 2);
    ::close(savedStderr);
    EXPECT_EQ(readFile(path("stderr.txt")).toStdString(), "");
    EXPECT_TRUE(hostFunctionBack);
    EXPECT_EQ(hostCalls, 0);
    EXPECT_THROW(set.loadFromFile(path("missing.per")), DataPacketError);
    EXPECT_THROW(set.loadFromFile(dir_.path()), DataPacketError);
}

// A packet of `fields` string fields ("F0", ...) and `rows` rows whose every value is `value`.
RowSet shape(int fields, int rows, const QString& value = "v") {
    RowSet data;
    for (int f = 0; f < fields; ++f) data.fields.append({"F" + QString::number(f)});
    for (int r = 0; r < rows; ++r) data.rows.append(Row(fields, QVariant(value)));
    return data;
}

TEST_F(DataPacketTest, RefusesBeyondWhatAPackageHoldsAndWritesNothingItWouldRefuse) {
    DataPacketLimits small;
    small.maxFields = 8;
    small.maxRows = 50;
    small.maxCells = 100;
    small.maxBytes = 4000;
    small.maxFieldNameBytes = 12;
    const auto named = [](const QString& name) {
        RowSet data = shape(1, 1);
        data.fields[0].name = name;
        return data;
    };
    const struct {
        const char* what;
        RowSet atLimit;
        RowSet overLimit;
        const char* reason;  // in the reader's refusal
    } cases[] = {
        {"fields", shape(8, 1), shape(9, 1), "more than 8 fields"},
        {"rows", shape(1, 50), shape(1, 51), "more than 50 rows"},
        {"values", shape(5, 20), shape(5, 21), "more than 20 rows of 5 fields"},
        {"a field name", named("张三四五"), named("张三四五a"), "longer than 12 bytes"},
        {"a field name that is no attribute name", named("1\u000B34567890AB"),
         named("1\u000B34567890ABC"), "longer than 12 bytes"},
        {"bytes", shape(2, 20, QString(60, 'x')), shape(2, 20, QString(100, 'x')),
         "more than a data packet holds (4000)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StagedFile at(path("at.per"));
        ASSERT_TRUE(at.open());
        writeDataPacket(at, c.atLimit, small);
        ASSERT_TRUE(at.commit());
        expectSameValues(readDataPacket(path("at.per"), small), c.atLimit, c.what);

        StagedFile over(path("over.per"));
        ASSERT_TRUE(over.open());
        EXPECT_THROW(writeDataPacket(over, c.overLimit, small), DataPacketError);
        writeDataPacket(path("over.per"), c.overLimit);
        try {
            readDataPacket(path("over.per"), small);
            ADD_FAILURE() << "read";
        } catch (const DataPacketError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
        }
    }

    const DataPacketLimits limits;
    // The widest packet the limits allow: every field name as long as allowed, one row that
    // holds every field.
    RowSet widest = shape(4096, 2);
    for (int f = 0; f < 4096; ++f)
        widest.fields[f].name =
            ('F' + QString::number(f)).leftJustified(limits.maxFieldNameBytes, 'n');
    widest.rows[1] = Row(4096);
    expectSameValues(roundTrip(widest, path("widest.per")), widest, "widest");

    // A 1.6 MB packet that declares 5,007 fields and 200,000 empty rows, and one of 4,000
    // fields: refused when the fields or the values outgrow a package, before the rows cost
    // anything (bench_platform hostile measures time and memory).
    for (const int fields : {5007, 4000}) {
        QByteArray packet = "<DATAPACKET><METADATA><FIELDS>";
        for (int f = 0; f < fields; ++f)
            packet += "<FIELD attrname=\"F" + QByteArray::number(f) + "\" fieldtype=\"string\"/>";
        packet += "</FIELDS></METADATA><ROWDATA>";
        for (int r = 0; r < 200000; ++r) packet += "<ROW/>";
        packet += "</ROWDATA></DATAPACKET>";
        writeFile(path("amplified.per"), packet);
        try {
            readDataPacket(path("amplified.per"));
            ADD_FAILURE() << fields << " fields read";
        } catch (const DataPacketError& e) {
            EXPECT_NE(std::string(e.what()).find(fields > 4096 ? "more than 4096 fields"
                                                               : "more than 4000 rows of 4000"),
                      std::string::npos)
                << e.what();
        }
    }

    // One row as large as the reader takes, wherever it falls in the file, reads back; a byte
    // more is refused by the writer, which names the row and the field to blame.
    const qsizetype overhead = qsizetype(QByteArray("<ROW Name=\"n\" Memo=\"&amp;\"/>").size());
    for (const int before : {0, 1, 700, 65536}) {
        RowSet data{{{"Name", FieldType::String, 0}, {"Memo", FieldType::String, 0}}, {}};
        for (int r = 0; r < before; ++r) data.rows.append(Row{"n", "m"});
        data.rows.append(Row{"n", QString(limits.maxRowBytes - overhead, 'x') + "&"});
        data.rows.append(Row{"last", QVariant()});
        expectSameValues(roundTrip(data, path("long.per")), data, "at the limit");

        data.rows[before][1] = data.rows[before][1].toString() + "x";
        try {
            writeDataPacket(path("long.per"), data);
            ADD_FAILURE() << "written";
        } catch (const DataPacketValueError& e) {
            EXPECT_EQ(e.row, before);
            EXPECT_EQ(e.field, 1);
            EXPECT_EQ(e.bytes, limits.maxRowBytes + 1);
        }
    }
}

// Every write of this process to a file stops at `bytes` bytes (the kernel answers a short
// count, then EFBIG), as a filling disk would.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_;
    void (*previous_)(int);
};

TEST_F(DataPacketTest, ASaveThatFailsAtAnyByteLeavesTheOldFile) {
    QDir().mkdir(path("out"));
    const QString target = path("out/deptinfo.per");
    const auto files = [this] { return QDir(path("out")).entryList(QDir::Files).join(','); };
    writeFile(target, "old content");
    ClientDataSet set("CdsExportDept");
    set.setData(shape(3, 30000, "张三 & <李四>"));
    set.saveToFile(path("out/reference.per"));
    const qint64 size = QFileInfo(path("out/reference.per")).size();
    ASSERT_GT(size, 2 << 20);  // more than the writer buffers at once
    QFile::remove(path("out/reference.per"));
    QList<qint64> room{0, 1, 4095, 4096, 4097, 1 << 20, size - 1, size};
    for (int i = 1; i < 30; ++i) room.append(size * i / 30 + i);
    for (const qint64 at : room) {
        {
            const FileSizeLimit full(at);
            try {
                set.saveToFile(target);
                EXPECT_EQ(at, size) << "saved with room for " << at << " of " << size;
            } catch (const DataPacketError& e) {
                EXPECT_LT(at, size) << e.what();
            }
        }
        EXPECT_EQ(files(), "deptinfo.per") << at;
        if (at < size) {
            EXPECT_EQ(readFile(target), "old content") << at;
        } else {
            writeFile(target, "old content");
        }
    }

    ClientDataSet fine("fine");
    fine.setData(shape(1, 1));
    EXPECT_THROW(fine.saveToFile(path("out/missing/deptinfo.per")), DataPacketError);
    EXPECT_THROW(ClientDataSet("closed").saveToFile(target), DataPacketError);
    QDir().mkdir(path("out/in the way.per"));
    EXPECT_THROW(fine.saveToFile(path("out/in the way.per")), DataPacketError);
    EXPECT_EQ(readFile(target), "old content");
    EXPECT_EQ(files(), "deptinfo.per");
}

}  // namespace
}  // namespace cv::test
