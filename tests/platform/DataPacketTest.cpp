// XML data packets with real libxml2: exact round trips, and refusal of broken or hostile files.
#include <QDateTime>
#include <QDir>
#include <QFile>

#include "ClientDataSet.h"
#include "PlatformTest.h"

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

TEST_F(DataPacketTest, NastyTextsRoundTripExactly) {
    const QList<QVariant> values{
        "it's",        "\"quoted\"",  "a & b",      "<tag attr='x'>", "]]>",
        "&amp; &#10;", "one\ntwo",    "cr\rlf\r\n", "\ttabs\t",       "  blanks  ",
        "张三·研发部", "emoji 😀 end", QString(""),  QVariant(),       QString(10000, 'x')};
    RowSet data{{{"Value", FieldType::String, 20}}, {}};
    for (const QVariant& value : values) data.rows.append({value});
    const RowSet back = roundTrip(data, path("values.per"));
    ASSERT_EQ(back.rows.size(), values.size());
    EXPECT_EQ(back.fields, data.fields);
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QVariant& got = back.rows[i][0];
        EXPECT_EQ(got.isNull(), values[i].isNull()) << "row " << i;
        EXPECT_EQ(valueText(got), valueText(values[i])) << "row " << i;
    }
}

TEST_F(DataPacketTest, FieldNamesAndTypesRoundTrip) {
    const QDateTime when = QDateTime::fromString("2024-02-29T13:14:15.678Z", Qt::ISODateWithMs);
    QByteArray allBytes;
    for (int b = 0; b < 256; ++b) allBytes.append(char(b));
    const RowSet data{{{"PerUUID", FieldType::String, 40},
                       {"名字", FieldType::String, 0},
                       {"with space", FieldType::Integer, 0},
                       {"1st", FieldType::Float, 0},
                       {"xmlns", FieldType::Boolean, 0},
                       {"a:b", FieldType::DateTime, 0},
                       {"_1", FieldType::Blob, 0},
                       {"Dup", FieldType::String, 0},
                       {"Dup", FieldType::String, 0}},
                      {{"u1", "李四", qlonglong(-9223372036854775807LL - 1), 0.1, true, when,
                        allBytes, "first", "second"},
                       {"u2", QVariant(), qlonglong(0), -1e300, false, QVariant(), QByteArray(),
                        QVariant(), ""}}};
    const RowSet back = roundTrip(data, path("typed.per"));
    EXPECT_EQ(back.fields, data.fields);
    ASSERT_EQ(back.rows.size(), 2);
    for (int r = 0; r < 2; ++r) {
        for (qsizetype f = 0; f < data.fields.size(); ++f) {
            EXPECT_EQ(back.rows[r][f].isNull(), data.rows[r][f].isNull()) << r << "/" << f;
            EXPECT_EQ(back.rows[r][f], data.rows[r][f]) << r << "/" << f;
        }
    }
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
        {"undeclared entity", head + "<ROW A=\"&e;\"/>" + tail},
        {"wrong root", "<?xml version=\"1.0\"?><PACKET><METADATA/></PACKET>"},
        {"no FIELDS", "<DATAPACKET><METADATA/><ROWDATA/></DATAPACKET>"},
        {"no METADATA", "<DATAPACKET><ROWDATA/></DATAPACKET>"},
        {"no ROWDATA", "<DATAPACKET><METADATA><FIELDS/></METADATA></DATAPACKET>"},
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
        {"element in a row", head + "<ROW A=\"x\"><ROW/></ROW>" + tail},
        {"rows before fields", "<DATAPACKET><ROWDATA/><METADATA><FIELDS/></METADATA></DATAPACKET>"},
        {"attribute over the parser's limit",
         head + "<ROW A=\"" + QByteArray(11 * 1024 * 1024, 'x') + "\"/>" + tail},
    };
    ClientDataSet set("kept");
    writeFile(path("valid.per"), valid);
    set.loadFromFile(path("valid.per"));
    const RowSet before = set.data();
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
    EXPECT_THROW(set.loadFromFile(path("missing.per")), DataPacketError);
    EXPECT_THROW(set.loadFromFile(dir_.path()), DataPacketError);
}

TEST_F(DataPacketTest, AFailedSaveLeavesTheOldFile) {
    const QString target = path("deptinfo.per");
    writeFile(target, "old content");
    const QList<QVariant> unsaveable{QString(QChar(1)), QString(QChar(0xD800)),
                                     QString(QChar(0xFFFF))};
    for (const QVariant& value : unsaveable) {
        ClientDataSet set("CdsExportDept");
        set.setData({{{"DeptName", FieldType::String, 0}}, {{"fine"}, {value}}});
        EXPECT_THROW(set.saveToFile(target), DataPacketError);
        EXPECT_EQ(readFile(target), "old content");
    }
    ClientDataSet fine("fine");
    fine.setData({{{"DeptName", FieldType::String, 0}}, {{"fine"}}});
    EXPECT_THROW(fine.saveToFile(path("missing/deptinfo.per")), DataPacketError);
    EXPECT_THROW(ClientDataSet("closed").saveToFile(target), DataPacketError);
    EXPECT_EQ(QDir(dir_.path()).entryList({"*.per"}, QDir::Files), QStringList{"deptinfo.per"});
}

}  // namespace
}  // namespace cv::test
