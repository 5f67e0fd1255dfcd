// libFuzzer harness: the import preview tree (BuildPackageTree) from arbitrary dataset files.
//
// An input starting with "<" holds the department file, a line "#####", then the person
// file, as data packets. Any other input is a compact table that the harness writes as the
// two data packets, so that the fuzzer reaches department codes, paths and people without
// first having to find well-formed XML: lines of tab-separated values, first the department
// rows (DeptID, DeptName), an empty line, then the person rows (PerUUID, PerDept, PerName,
// PerSex, LoginName); a value "~" is null.
// When the tree is built, every person row stands in it once for each department row that
// holds it (and once under the root when its department is null), and nowhere else.
#include <QApplication>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "CVCallConv.h"
#include "CheckTree.h"
#include "ClientDataSet.h"
#include "DataPacket.h"
#include "FuzzSupport.h"
#include "PackageTree.h"

// The host executable's entry through which the plug-in finds the reader-pack library: here
// the package version is 3, so the harness's folder is the package directory.
namespace {
std::int32_t CVCALL packageVersionThree() { return 3; }
}  // namespace
extern "C" __attribute__((visibility("default"))) void* CVCALL CVGetAppInterface(const char*,
                                                                                 const char* entry,
                                                                                 std::int32_t) {
    return entry && QByteArray(entry) == "GetPackageVer"
               ? reinterpret_cast<void*>(&packageVersionThree)
               : nullptr;
}

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz_packagetree: %s\n", what);
    std::abort();
}

cv::RowSet table(const QStringList& fields, const QList<QByteArray>& lines) {
    cv::RowSet rows;
    for (const QString& field : fields)
        rows.fields << cv::FieldDef{field, cv::FieldType::String, 0};
    for (const QByteArray& line : lines) {
        const QList<QByteArray> cells = line.split('\t');
        cv::Row row;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            const QByteArray cell = i < cells.size() ? cells[i] : QByteArray();
            row << (cell == "~" ? QVariant() : QVariant(QString::fromUtf8(cell)));
        }
        rows.rows << row;
    }
    return rows;
}

// The rows the harness wrote, when it wrote the table form: the tree must show these.
struct Written {
    cv::RowSet depts;
    cv::RowSet people;
};

// Writes the two files; false when the input cannot be carried as data packets. `written`
// receives the rows of the table form.
bool writePackage(const QString& folder, const QByteArray& input, std::optional<Written>& written) {
    const QString depts = folder + "/deptinfo.per";
    const QString people = folder + "/perinfo.per";
    if (input.startsWith('<')) {
        const qsizetype split = input.indexOf("\n#####\n");
        const QByteArray first = split < 0 ? input : input.left(split);
        const QByteArray second = split < 0 ? QByteArray() : input.mid(split + 7);
        cvfuzz::writeFile(depts, first.constData(), std::size_t(first.size()));
        cvfuzz::writeFile(people, second.constData(), std::size_t(second.size()));
        return true;
    }
    const qsizetype split = input.indexOf("\n\n");
    const QList<QByteArray> deptLines = (split < 0 ? input : input.left(split)).split('\n');
    const QList<QByteArray> personLines =
        split < 0 ? QList<QByteArray>() : input.mid(split + 2).split('\n');
    written = Written{table({"DeptID", "DeptName"}, deptLines),
                      table({"PerUUID", "PerDept", "PerName", "PerSex", "LoginName"}, personLines)};
    try {
        cv::writeDataPacket(depts, written->depts);
        cv::writeDataPacket(people, written->people);
    } catch (const cv::DataPacketError&) {
        return false;  // a text the format cannot carry
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static QTemporaryDir folder(cvfuzz::scratchFolder() + "/packagetree-XXXXXX");
    std::optional<Written> written;
    if (!writePackage(folder.path(),
                      QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), written))
        return 0;

    static cv::CheckTree* tree = new cv::CheckTree;
    bool built = false;
    try {
        built = cv::BuildPackageTree(folder.path(), *tree);
    } catch (const cv::DbError&) {
        check(tree->nodes().size() == 0, "a failed build left nodes");  // a column is missing
        return 0;
    }
    if (!built) {
        check(tree->nodes().size() == 0, "a failed build left nodes");
        return 0;
    }

    // The reference: people counted straight from the rows written (so that a value the files
    // did not carry back shows), or else from the files.
    if (!written)
        written = Written{cv::readDataPacket(folder.filePath("deptinfo.per")),
                          cv::readDataPacket(folder.filePath("perinfo.per"))};
    const cv::RowSet& depts = written->depts;
    const cv::RowSet& people = written->people;
    const int deptId = depts.indexOf("DeptID");
    const int perDept = people.indexOf("PerDept");
    const int perUuid = people.indexOf("PerUUID");
    QHash<QString, int> deptRows;  // DeptID -> rows holding it
    for (const cv::Row& row : depts.rows) ++deptRows[cv::valueText(row[deptId])];
    QHash<QString, int> expected;  // PerUUID -> placements
    for (const cv::Row& person : people.rows) {
        const QVariant dept = person[perDept];
        expected[cv::valueText(person[perUuid])] +=
            dept.isNull() ? 1 : deptRows.value(cv::valueText(dept));
    }
    QHash<QString, int> shown;
    bool rootFirst = false;
    const cv::NodeModel& nodes = tree->nodes();
    nodes.forEachNode([&](int node, int level) {
        check(nodes.hasRecord(node), "a node without a record");
        if (level == 0) {
            check(!rootFirst && nodes.text(node) == QStringLiteral("部门信息"), "not one root");
            rootFirst = true;
            return;
        }
        const QStringView kind = nodes.field(node, cv::NodeRecords::Kind);
        check(kind == u"1" || kind == u"0", "a node of no kind");
        if (kind == u"1") {
            check(nodes.childCount(node) == 0, "a person with children");
            ++shown[nodes.field(node, cv::NodeRecords::ID).toString()];
        }
    });
    check(rootFirst, "no root");
    expected.removeIf([](const auto& entry) { return entry.value() == 0; });
    check(shown == expected, "the people shown are not the people of the files");
    tree->nodes().clear();
    return 0;
}
