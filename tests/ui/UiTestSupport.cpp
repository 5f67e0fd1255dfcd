#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

namespace uitest {

using cv::NodeModel;
using cv::NodeTree;

int dept(NodeTree& tree, int parent, const QString& name, const QString& id) {
    return tree.nodes().append(parent, name, cv::TreeNodeData{id, "0", name, {}, {}}, 0);
}

int person(NodeTree& tree, int parent, const QString& name, const QString& id, const QString& login,
           const QString& sex) {
    return tree.nodes().append(parent, name, cv::TreeNodeData{id, "1", login, name, sex}, 1, 1);
}

// Read through the model's own interface, as a view reads it.
QString describe(const NodeTree& tree) {
    const QAbstractItemModel& model = tree.nodes();
    const auto children = [&](const auto& self, const QModelIndex& parent) -> QString {
        QStringList parts;
        for (int row = 0; row < model.rowCount(parent); ++row) {
            const QModelIndex child = model.index(row, 0, parent);
            QString part = child.data().toString();
            if (model.rowCount(child) > 0) part += '{' + self(self, child) + '}';
            parts << part;
        }
        return parts.join(parent.isValid() ? u',' : u';');
    };
    return children(children, QModelIndex());
}

QString states(const cv::CheckTree& tree) {
    QStringList parts;
    const NodeModel& nodes = tree.nodes();
    nodes.forEachNode([&](int node, int) {
        const int state = nodes.state(node);
        parts << nodes.text(node) + u':' +
                     (state == NodeModel::NeverSet ? QStringLiteral("-") : QString::number(state));
    });
    return parts.join(u' ');
}

QString recordText(const NodeModel& nodes, int node) {
    const cv::TreeNodeData r = nodes.record(node);
    const QString fields =
        nodes.hasRecord(node)
            ? QStringList{r.ID, r.Kind, r.NameOrLogin, r.PersonName, r.Sex}.join(u'|')
            : QStringLiteral("no record");
    return fields + QStringLiteral(" %1/%2").arg(nodes.image(node)).arg(nodes.selectedImage(node));
}

int nodeNamed(const NodeTree& tree, const QString& text) {
    int found = -1;
    tree.nodes().forEachNode([&](int node, int) {
        if (found < 0 && tree.nodes().text(node) == text) found = node;
    });
    EXPECT_GE(found, 0) << "no node " << text.toStdString();
    return found;
}

bool showAndWait(QWidget& widget) {
    widget.show();
    return QTest::qWaitForWindowExposed(&widget);
}

}  // namespace uitest
