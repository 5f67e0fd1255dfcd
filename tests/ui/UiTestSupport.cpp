#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QWidget>

namespace uitest {

using cv::NodeTree;
using cv::TreeNode;

TreeNode* dept(NodeTree& tree, QTreeWidgetItem* parent, const QString& name, const QString& id) {
    TreeNode* node = tree.appendNode(parent, name, cv::makeRecord({id, "0", name, {}, {}}));
    node->imageIndex = 0;
    return node;
}

TreeNode* person(NodeTree& tree, QTreeWidgetItem* parent, const QString& name, const QString& id,
                 const QString& login, const QString& sex) {
    TreeNode* node = tree.appendNode(parent, name, cv::makeRecord({id, "1", login, name, sex}));
    node->imageIndex = 1;
    node->selectedIndex = 1;
    return node;
}

namespace {

void describeNode(const QTreeWidgetItem* node, QString& out) {
    out += node->text(0);
    if (node->childCount() == 0) {
        return;
    }
    out += u'{';
    for (int i = 0; i < node->childCount(); ++i) {
        if (i > 0) {
            out += u',';
        }
        describeNode(node->child(i), out);
    }
    out += u'}';
}

}  // namespace

QString describe(const NodeTree& tree) {
    QString out;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
        if (i > 0) {
            out += u';';
        }
        describeNode(tree.topLevelItem(i), out);
    }
    return out;
}

QString states(const cv::CheckTree& tree) {
    QStringList parts;
    tree.forEachNode([&parts](QTreeWidgetItem* node, int) {
        const int state = cv::CheckTree::stateIndex(node);
        parts << node->text(0) + u':' +
                     (state == TreeNode::NeverSet ? QStringLiteral("-") : QString::number(state));
    });
    return parts.join(u' ');
}

QString recordText(const QTreeWidgetItem* node) {
    const cv::TreeNodeData* r = NodeTree::record(node);
    const QString fields =
        r != nullptr ? QStringList{r->ID, r->Kind, r->NameOrLogin, r->PersonName, r->Sex}.join(u'|')
                     : QStringLiteral("no record");
    return fields + QStringLiteral(" %1/%2")
                        .arg(NodeTree::imageIndex(node))
                        .arg(NodeTree::selectedIndex(node));
}

QTreeWidgetItem* nodeNamed(const NodeTree& tree, const QString& text) {
    QTreeWidgetItem* found = nullptr;
    tree.forEachNode([&](QTreeWidgetItem* node, int) {
        if (found == nullptr && node->text(0) == text) {
            found = node;
        }
    });
    EXPECT_NE(found, nullptr) << "no node " << text.toStdString();
    return found;
}

bool showAndWait(QWidget& widget) {
    widget.show();
    return QTest::qWaitForWindowExposed(&widget);
}

}  // namespace uitest
