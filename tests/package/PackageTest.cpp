#include "PackageTest.h"

#include <QFile>

#include "Database.h"
#include "NodeTree.h"

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
    tree.forEachNode([&](QTreeWidgetItem* node, int level) {
        const TreeNodeData* r = NodeTree::record(node);
        lines << QString(2 * level, ' ') + node->text(0) +
                     (r ? " [" +
                              QStringList{r->ID, r->Kind, r->NameOrLogin, r->PersonName, r->Sex}
                                  .join(',') +
                              "]"
                        : QString(" [no record]"));
    });
    return lines;
}

QTreeWidgetItem* findNode(const CheckTree& tree, const QString& id, const QString& kind) {
    QTreeWidgetItem* found = nullptr;
    tree.forEachNode([&](QTreeWidgetItem* node, int) {
        const TreeNodeData* r = NodeTree::record(node);
        if (!found && r && r->ID == id && r->Kind == kind) found = node;
    });
    return found;
}

}  // namespace cv::test
