// The export's department paths from one read of the department table against the
// per-department look-ups they replaced: the same package, byte for byte, on the sample
// installations and on seeded random ones, with a random part of the people unticked. (Each
// file written is synced to disk, so the many-seed comparison is the store suite's.)
#include <QFile>
#include <QRandomGenerator>

#include "PackageTest.h"
#include "RandomPersonnel.h"
#include "TDM_PersonPack.h"

namespace cv::test {
namespace {

class ExportPathsTest : public PackageTest {
public:
    // The three files of an export with the names read the way `source` reads them.
    QList<QByteArray> exportWith(TDM_PersonPack::DeptNameSource source) {
        TDM_PersonPack::instance()->setDeptNameSource(source);
        const QString directory = PackageExport();
        TDM_PersonPack::instance()->setDeptNameSource(TDM_PersonPack::DeptNameSource::OneRead);
        QList<QByteArray> files{directory.toUtf8()};
        for (const char* name : {"perinfo.per", "deptinfo.per", "SysPerInfo.XML"}) {
            QFile file(directory + name);
            files << (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("missing"));
        }
        return files;
    }

    // Embeds the frame over the installation as it is, unticks about one person in
    // `untickOneIn` (none for 0), and compares the two exports.
    void compareExports(quint32 seed, int untickOneIn) {
        ASSERT_EQ(PackageExportProc(&hostWindow), 1);
        QRandomGenerator random(seed);
        tree().forEachNode([&](QTreeWidgetItem* node, int) {
            const TreeNodeData* record = NodeTree::record(node);
            if (untickOneIn > 0 && record && record->Kind == "1" &&
                random.bounded(untickOneIn) == 0)
                tree().toggle(node);
        });
        const QList<QByteArray> reference = exportWith(TDM_PersonPack::DeptNameSource::LookUps);
        const QList<QByteArray> oneRead = exportWith(TDM_PersonPack::DeptNameSource::OneRead);
        EXPECT_EQ(oneRead, reference);
        PackageFree();
    }
};
CV_BOTH_STYLES(ExportPathsTest);

TEST_P(ExportPathsTest, OneReadWritesTheSamePackageAsTheLookUps) {
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

}  // namespace
}  // namespace cv::test
