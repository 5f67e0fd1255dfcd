#include "PackageTest.h"

#include <QFile>

#include "Database.h"

namespace cv::test {
namespace {

QString cell(const QVariant& value) {
    return value.isNull() ? QStringLiteral("<null>") : valueText(value);
}

}  // namespace

QStringList fileRows(const QString& path, const QStringList& fields) {
    ClientDataSet dataset;
    dataset.loadFromFile(path);
    QStringList result;
    for (dataset.first(); !dataset.eof(); dataset.next()) {
        QStringList cells;
        for (const QString& field : fields) cells << cell(dataset.value(field));
        result << cells.join('|');
    }
    return result;
}

void writeDataSetFile(const QString& path, const QStringList& fields,
                      const QList<QStringList>& rows) {
    RowSet data;
    for (const QString& field : fields) data.fields << FieldDef{field, FieldType::String, 100};
    for (const QStringList& cells : rows) {
        Row row;
        for (const QString& value : cells)
            row << (value == "<null>" ? QVariant() : QVariant(value));
        data.rows << row;
    }
    ClientDataSet dataset;
    dataset.setData(data);
    dataset.saveToFile(path);
}

void writePackage(const QString& directory, const QList<QStringList>& people,
                  const QList<QStringList>& depts) {
    writeDataSetFile(directory + "perinfo.per", PackagePersonFields, people);
    QList<QStringList> deptRows;
    for (const QStringList& dept : depts) deptRows << (QStringList(dept) << "");
    writeDataSetFile(directory + "deptinfo.per", {"DeptID", "DeptName", "DeptMemo"}, deptRows);
}

QByteArray bytesWithoutExportMark(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return "<missing>";
    QByteArray bytes = file.readAll();
    const qsizetype mark = bytes.lastIndexOf("<?cvpersonpack export=\"");
    if (mark >= 0 && bytes.endsWith("\"?>\n")) bytes.truncate(mark);
    return bytes;
}

QStringList dumpTree(const CheckTree& tree) {
    QStringList lines;
    const NodeModel& nodes = tree.nodes();
    nodes.forEachNode([&](int node, int level) {
        const TreeNodeData r = nodes.record(node);
        lines << QString(2 * level, ' ') + nodes.text(node) +
                     (nodes.hasRecord(node)
                          ? " [" +
                                QStringList{r.ID, r.Kind, r.NameOrLogin, r.PersonName, r.Sex}.join(
                                    ',') +
                                "]"
                          : QString(" [no record]"));
    });
    return lines;
}

int findNode(const CheckTree& tree, const QString& id, const QString& kind) {
    const NodeModel& nodes = tree.nodes();
    for (int node = 0; node < nodes.size(); ++node)
        if (nodes.hasRecord(node) && nodes.field(node, NodeRecords::ID) == id &&
            nodes.field(node, NodeRecords::Kind) == kind)
            return node;
    return -1;
}

}  // namespace cv::test
