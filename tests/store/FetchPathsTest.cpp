// FetchWithDeptPaths with the names read in one statement against the per-department
// look-ups it replaced, on hundreds of seeded random installations: the same field
// definitions (the widened DeptName included) and the same values, down to the type of each
// value and whether a text is null, which is all a saved data packet is made of.
#include "ClientDataSet.h"
#include "RandomPersonnel.h"
#include "StoreTest.h"

namespace cv::test {
namespace {

class FetchPathsTest : public StoreTest {};
CV_BOTH_STYLES(FetchPathsTest);

QStringList strict(const RowSet& data) {
    QStringList lines;
    for (const FieldDef& field : data.fields)
        lines << QString("%1 %2 %3").arg(field.name).arg(int(field.type)).arg(field.width);
    for (const Row& row : data.rows) {
        QStringList cells;
        for (const QVariant& value : row) {
            cells << (value.isNull() ? QString("<null>")
                                     : QString(value.metaType().name()) +
                                           (value.toString().isNull() ? "(null)" : "") + ':' +
                                           value.toString());
        }
        lines << cells.join('|');
    }
    return lines;
}

TEST_P(FetchPathsTest, OneReadGivesWhatTheLookUpsGive) {
    // The export's department statement over everybody, and the whole table, which also has
    // departments without people.
    const QStringList statements = {
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID in( Select PerDept "
        "From CV_PersonInfo)",
        "SELECT * FROM CV_DeptInfo ORDER BY DeptName, DeptID",
    };
    const int seeds = testdb::onPostgres() ? 200 : 400;
    int rows = 0;
    for (quint32 seed = 1; seed <= quint32(seeds) && !HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testhost::RandomPersonnel(seed).store(installation());
        for (const QString& sql : statements) {
            ClientDataSet reference;
            ClientDataSet oneRead;
            module().setDeptNameSource(TDM_PersonPack::DeptNameSource::LookUps);
            ASSERT_TRUE(module().FetchWithDeptPaths(reference, sql));
            module().setDeptNameSource(TDM_PersonPack::DeptNameSource::OneRead);
            ASSERT_TRUE(module().FetchWithDeptPaths(oneRead, sql));
            EXPECT_EQ(strict(oneRead.data()), strict(reference.data())) << sql.toStdString();
            rows += reference.recordCount();
        }
    }
    EXPECT_GT(rows, seeds * 10);
}

}  // namespace
}  // namespace cv::test
