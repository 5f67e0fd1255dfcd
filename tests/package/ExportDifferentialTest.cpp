// The export's fast ways against the slow ones they replaced: department paths from one read
// of the department table against the per-department look-ups, person rows streamed from
// the statement into the file against the dataset, and the statements' sorted identifiers
// against the tree's order. The same package, byte for byte, on the sample installations, on
// seeded random ones with a random part of the people unticked, and with every kind of value
// a store can hold. (Each file written is synced to disk, so the many-seed comparison of the
// paths is the store suite's.)
#include <QFile>
#include <QRandomGenerator>

#include "PackageTest.h"
#include "RandomPersonnel.h"
#include "TDM_PersonPack.h"

namespace cv::test {
namespace {

class ExportDifferentialTest : public PackageTest {
public:
    // The answer and the three files of an export, the slow ways or the fast ones, as one
    // text that a failure prints readably.
    std::string exportWith(bool fast) {
        TDM_PersonPack& store = *TDM_PersonPack::instance();
        store.setDeptNameSource(fast ? TDM_PersonPack::DeptNameSource::OneRead
                                     : TDM_PersonPack::DeptNameSource::LookUps);
        store.setRowStreaming(fast);
        store.setSortedSelection(fast);
        const QString directory = PackageExport();
        store.setDeptNameSource(TDM_PersonPack::DeptNameSource::OneRead);
        store.setRowStreaming(true);
        store.setSortedSelection(true);
        QList<QByteArray> files{directory.toUtf8()};
        for (const char* name : {"perinfo.per", "deptinfo.per", "SysPerInfo.XML"})
            files << bytesWithoutExportMark(directory + name);
        return files.join("\n----\n").toStdString();
    }

    // Embeds the frame over the installation as it is, unticks about one person in
    // `untickOneIn` (none for 0), and compares the two exports.
    void compareExports(quint32 seed, int untickOneIn) {
        ASSERT_EQ(PackageExportProc(&hostWindow), 1);
        QRandomGenerator random(seed);
        for (int node = 0; node < tree().nodes().size(); ++node)
            if (untickOneIn > 0 && tree().nodes().isPerson(node) &&
                random.bounded(untickOneIn) == 0)
                tree().toggle(node);
        const std::string reference = exportWith(false);
        const std::string fast = exportWith(true);
        EXPECT_EQ(fast, reference);
        PackageFree();
    }
};
CV_BOTH_STYLES(ExportDifferentialTest);

TEST_P(ExportDifferentialTest, TheFastWaysWriteTheSamePackageAsTheSlowOnes) {
    for (Content content : {Content::SampleA, Content::SampleB}) {
        install(content);
        SCOPED_TRACE(content == Content::SampleA ? "sample A" : "sample B");
        compareExports(1, 0);
        compareExports(2, 3);
    }
    install(Content::Empty);
    const int seeds = 40;
    int withDepts = 0;
    for (quint32 seed = 1; seed <= quint32(seeds); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const testhost::RandomPersonnel personnel(seed);
        personnel.store(inst());
        compareExports(seed, seed % 3 == 0 ? 0 : 4);
        withDepts += !personnel.depts.isEmpty();
        if (HasFailure()) break;
    }
    EXPECT_GT(withDepts, seeds / 2);
}

// Each value is stored in one person's row, one after the other, and the export compared after
// each: every character the packet escapes, bytes that are not UTF-8, other storage classes
// in text and integer columns. On SQLite the last ones turn the integer field to text for the
// whole packet, which only the dataset can tell: those rows take the dataset's way.
// PostgreSQL holds neither bytes that are not UTF-8 nor a text in an integer column.
TEST_P(ExportDifferentialTest, StreamedRowsCarryEveryStoredValueAsTheDatasetDoes) {
    install(Content::SampleA);
    const bool sqlite = inst().db().dialect() == Dialect::SQLite;
    const struct {
        const char* column;
        const char* sqlite;    // an SQLite expression
        const char* postgres;  // the same in PostgreSQL, or nothing
        bool streamed;
    } all[] = {
        {"PerMemo", "'a' || char(11) || char(1) || char(31) || char(127) || 'b'",
         "'a' || chr(11) || chr(1) || chr(31) || chr(127) || 'b'", true},
        {"PerMemo", "'&<>\"''' || char(9) || char(10) || char(13) || ' x'",
         "'&<>\"''' || chr(9) || chr(10) || chr(13) || ' x'", true},
        {"PerName", "char(65534) || char(65535) || char(65533)",
         "chr(65534) || chr(65535) || chr(65533)", true},
        {"PerName", "char(1114109) || char(1114111) || 'z'", "chr(1114109) || chr(1114111) || 'z'",
         true},
        {"LoginName", "char(65279) || 'BOM'", "chr(65279) || 'BOM'", true},
        {"PerMemo", "char(128512) || '张' || char(233) || char(2047) || char(2048)",
         "chr(128512) || '张' || chr(233) || chr(2047) || chr(2048)", true},
        {"PerMemo", "CAST(X'C0AF41' AS TEXT)", nullptr, true},
        {"PerMemo", "CAST(X'41EDA080' AS TEXT)", nullptr, true},
        {"PerMemo", "CAST(X'F4908080' AS TEXT)", nullptr, true},
        {"PerMemo", "CAST(X'E4B8' AS TEXT)", nullptr, true},
        {"PerMemo", "CAST(X'80FF41F08F8080' AS TEXT)", nullptr, true},
        {"PerMemo", "CAST(X'EFBFBE' AS TEXT)", nullptr, true},
        {"PerMemo", "''", "''", true},
        {"PerMemo", "X'00FF41'", nullptr, true},
        {"PerSex", "NULL", "NULL", true},
        {"PrjID", "9223372036854775807", "2147483647", true},
        {"PrjID", "-5", "-5", true},
        {"PrjID", "1.5", nullptr, false},
        {"PrjID", "'abc'", nullptr, false},
    };
    struct Case {
        const char* column;
        const char* value;
        bool streamed;
    };
    QList<Case> cases;
    for (const auto& c : all)
        if (const char* value = sqlite ? c.sqlite : c.postgres)
            cases.append({c.column, value, c.streamed});
    const QStringList ids = inst().rows("SELECT PerUUID FROM CV_PersonInfo ORDER BY PerUUID");
    ASSERT_GE(ids.size(), 3);
    for (qsizetype i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].column) + " = " + cases[i].value);
        inst().exec(
            QStringLiteral("UPDATE CV_PersonInfo SET %1 = %2 WHERE PerUUID = '%3'")
                .arg(cases[i].column, QString::fromUtf8(cases[i].value), ids[i % ids.size()]));
        ASSERT_EQ(PackageExportProc(&hostWindow), 1);
        const std::string reference = exportWith(false);
        ClientDataSet& rows = TDM_PersonPack::instance()->CdsExportPer;
        rows.close();
        const std::string fast = exportWith(true);
        EXPECT_EQ(fast, reference);
        // A streamed export leaves the dataset as it was.
        EXPECT_EQ(!rows.active(), cases[i].streamed);
        PackageFree();
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace cv::test
