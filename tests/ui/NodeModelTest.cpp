// The flat node model against a tree of nodes that own their children, the obvious way to
// hold a tree, on seeded random sequences of every change a tree sees: nodes appended, copied
// from another tree with or without their subtrees, removed, their children removed, bulk
// builds, toggles and states set. After each change the list order, levels, rows, states and
// records agree, the model answers Qt's interface as the reference tree would, its persistent
// indexes stay on their nodes (or end with them), and QAbstractItemModelTester watches it all.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "NodeModel.h"

using cv::NodeModel;

namespace {

struct RefNode {
    RefNode(QString text, std::optional<QString> id) : text(std::move(text)), id(std::move(id)) {}
    QString text;         // copies share their texts
    int serial = ++made;  // one for each node ever made
    static inline int made = 0;
    std::optional<QString> id;  // the record's ID, none without a record
    int state = NodeModel::NeverSet;
    RefNode* parent = nullptr;
    std::vector<std::unique_ptr<RefNode>> children;
};

class RefTree {
public:
    std::vector<std::unique_ptr<RefNode>> top;

    // Every node in list order with its level.
    std::vector<std::pair<RefNode*, int>> listOrder() const {
        std::vector<std::pair<RefNode*, int>> out;
        const auto walk = [&](const auto& self, RefNode* node, int level) -> void {
            out.emplace_back(node, level);
            for (const auto& child : node->children) self(self, child.get(), level + 1);
        };
        for (const auto& node : top) walk(walk, node.get(), 0);
        return out;
    }
    std::vector<std::unique_ptr<RefNode>>& siblingsOf(RefNode* parent) {
        return parent ? parent->children : top;
    }
    RefNode* append(RefNode* parent, std::unique_ptr<RefNode> node) {
        node->parent = parent;
        siblingsOf(parent).push_back(std::move(node));
        return siblingsOf(parent).back().get();
    }
    void remove(RefNode* node) {
        auto& siblings = siblingsOf(node->parent);
        for (auto it = siblings.begin(); it != siblings.end(); ++it)
            if (it->get() == node) {
                siblings.erase(it);
                return;
            }
    }
    static std::unique_ptr<RefNode> copy(const RefNode& from, bool withSubtree) {
        auto node = std::make_unique<RefNode>(from.text, from.id);
        if (withSubtree)
            for (const auto& child : from.children) {
                node->children.push_back(copy(*child, true));
                node->children.back()->parent = node.get();
            }
        return node;
    }
    static void setSubtree(RefNode* node, int state) {
        node->state = state;
        for (const auto& child : node->children) setSubtree(child.get(), state);
    }
    // The user's toggle as the model documents it.
    static void toggle(RefNode* node) {
        if (node->state == NodeModel::NoCheckBox) return;
        setSubtree(node,
                   node->state == NodeModel::Checked ? NodeModel::Unchecked : NodeModel::Checked);
        for (RefNode* up = node->parent; up != nullptr; up = up->parent) {
            int checked = 0, unchecked = 0, partial = 0;
            for (const auto& child : up->children) {
                checked += child->state == NodeModel::Checked;
                unchecked += child->state == NodeModel::Unchecked;
                partial += child->state == NodeModel::PartiallyChecked;
            }
            up->state = partial > 0 || (checked > 0 && unchecked > 0) ? NodeModel::PartiallyChecked
                        : checked > 0                                 ? NodeModel::Checked
                                                                      : NodeModel::Unchecked;
        }
    }
};

// The model through Qt's interface, depth first: "text/level/row" lines.
void walkQt(const QAbstractItemModel& model, const QModelIndex& parent, int level,
            QStringList& out) {
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex child = model.index(row, 0, parent);
        EXPECT_EQ(model.parent(child), parent);
        out << QString("%1/%2/%3").arg(child.data().toString()).arg(level).arg(child.row());
        walkQt(model, child, level + 1, out);
    }
    EXPECT_FALSE(model.index(model.rowCount(parent), 0, parent).isValid());
}

class Trees {
public:
    explicit Trees(unsigned seed) : random_(seed) {}

    int pick(int n) { return int(random_() % unsigned(n)); }

    // A random node of the model with its reference node; -1 and null now and then.
    std::pair<int, RefNode*> anyNode(bool orNone) {
        const auto all = ref.listOrder();
        if (all.empty() || (orNone && pick(6) == 0)) return {-1, nullptr};
        const int at = pick(int(all.size()));
        return {at, all[std::size_t(at)].first};
    }

    std::optional<QString> newId() {
        if (pick(4) == 0) return std::nullopt;
        return QString::number(pick(20));
    }
    QString newText() { return "n" + QString::number(made_++); }

    // A random tree of both kinds in `build` and `into`, parents in random order.
    void randomBuild(cv::NodeBuild& build, RefTree& into, int count) {
        std::vector<RefNode*> made;
        for (int i = 0; i < count; ++i) {
            const int parent = made.empty() || pick(4) == 0 ? -1 : pick(int(made.size()));
            const std::optional<QString> id = newId();
            const QString text = newText();
            build.add(parent, text,
                      id ? build.records().add(*id, u"1", {}, {}, {}) : cv::NodeRecords::None, 1);
            made.push_back(into.append(parent < 0 ? nullptr : made[std::size_t(parent)],
                                       std::make_unique<RefNode>(text, id)));
        }
    }

    // One random change to both trees; counted in `ops`.
    void change(std::vector<int>& ops) {
        const int op = pick(9);
        ++ops[std::size_t(op)];
        auto [node, refNode] = anyNode(true);
        switch (op) {
            case 0:
            case 1: {
                const QString text = newText();
                const std::optional<QString> id = newId();
                std::optional<cv::TreeNodeData> record;
                if (id) record = cv::TreeNodeData{*id, "1", {}, pick(2) ? text : "", {}};
                model.append(node, text, record, 1);
                ref.append(refNode, std::make_unique<RefNode>(text, id));
                break;
            }
            case 2: {  // a copy from the other tree
                if (other.size() == 0) break;
                const auto others = otherRef.listOrder();
                const int from = pick(other.size());
                const bool withSubtree = pick(2);
                model.appendCopy(node, other, from, withSubtree);
                ref.append(refNode, RefTree::copy(*others[std::size_t(from)].first, withSubtree));
                break;
            }
            case 3:  // removals are rarer than additions, so that trees grow
                if (node >= 0 && pick(3) == 0) {
                    model.remove(node);
                    ref.remove(refNode);
                }
                break;
            case 4:
                if (node >= 0 && pick(3) == 0) {
                    model.removeChildren(node);
                    refNode->children.clear();
                }
                break;
            case 5:
                if (node >= 0) {
                    model.toggle(node);
                    RefTree::toggle(refNode);
                }
                break;
            case 6:
                if (node >= 0) {
                    const int state = pick(4);
                    model.setState(node, state);
                    refNode->state = state;
                } else {
                    const int state = pick(4);
                    model.setStateAll(state);
                    for (const auto& [n, level] : ref.listOrder()) n->state = state;
                }
                break;
            case 7:
                if (pick(8) == 0) {
                    cv::NodeBuild build;
                    ref.top.clear();
                    randomBuild(build, ref, pick(20));
                    model.setNodes(std::move(build));
                }
                break;
            default:
                if (pick(20) == 0) {
                    model.clear();
                    ref.top.clear();
                }
                break;
        }
    }

    // Persistent indexes on random nodes, with the nodes they stand for.
    void holdSome() {
        for (int i = 0; i < 3; ++i) {
            const auto [node, refNode] = anyNode(false);
            if (node >= 0) held_.push_back({model.indexOf(node), refNode->serial});
        }
    }

    void compare() {
        const auto order = ref.listOrder();
        ASSERT_EQ(model.size(), int(order.size()));
        QStringList expected;
        for (std::size_t i = 0; i < order.size(); ++i) {
            const auto [refNode, level] = order[i];
            const int n = int(i);
            ASSERT_EQ(model.text(n), refNode->text);
            ASSERT_EQ(model.levelOf(n), level);
            ASSERT_EQ(model.state(n), refNode->state) << refNode->text.toStdString();
            ASSERT_EQ(model.hasRecord(n), refNode->id.has_value());
            if (refNode->id) {
                ASSERT_EQ(model.field(n, cv::NodeRecords::ID), *refNode->id);
            }
            const auto& siblings = ref.siblingsOf(refNode->parent);
            const int row = int(std::find_if(siblings.begin(), siblings.end(),
                                             [&](const auto& s) { return s.get() == refNode; }) -
                                siblings.begin());
            ASSERT_EQ(model.rowOf(n), row);
            ASSERT_EQ(model.childCount(n), int(refNode->children.size()));
            expected << QString("%1/%2/%3").arg(refNode->text).arg(level).arg(row);
        }
        QStringList seen;
        walkQt(model, QModelIndex(), 0, seen);
        ASSERT_EQ(seen, expected);
        // Persistent indexes: on their node, or invalid once it is gone.
        for (const auto& [index, serial] : held_) {
            const auto at = std::find_if(order.begin(), order.end(), [&](const auto& entry) {
                return entry.first->serial == serial;
            });
            ASSERT_EQ(index.isValid(), at != order.end()) << serial;
            if (index.isValid()) {
                ASSERT_EQ(model.nodeOf(index), int(at - order.begin()));
            }
        }
        // Rows asked for out of order.
        for (int i = 0; i < 5 && !order.empty(); ++i) {
            const auto [node, refNode] = anyNode(false);
            const QModelIndex parent = model.indexOf(model.parentOf(node));
            ASSERT_EQ(model.nodeOf(model.index(model.rowOf(node), 0, parent)), node);
        }
    }

    NodeModel model;
    RefTree ref;
    NodeModel other;
    RefTree otherRef;

private:
    std::mt19937 random_;
    int made_ = 0;
    std::vector<std::pair<QPersistentModelIndex, int>> held_;
};

TEST(NodeModel, AgreesWithATreeOfOwnedNodesAfterEveryChange) {
    int nodesSeen = 0;
    std::vector<int> ops(9, 0);
    for (unsigned seed = 1; seed <= 300 && !::testing::Test::HasFailure(); ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Trees trees(seed);
        cv::NodeBuild otherBuild;
        trees.randomBuild(otherBuild, trees.otherRef, 12);
        trees.other.setNodes(std::move(otherBuild));
        const QAbstractItemModelTester tester(
            &trees.model, QAbstractItemModelTester::FailureReportingMode::Fatal);
        for (int step = 0; step < 60 && !::testing::Test::HasFailure(); ++step) {
            if (step % 8 == 0) trees.holdSome();
            trees.change(ops);
            trees.compare();
            nodesSeen += trees.model.size();
        }
    }
    EXPECT_GT(nodesSeen, 150000);
    for (int op = 0; op < 9; ++op) EXPECT_GT(ops[std::size_t(op)], 1000) << op;
}

}  // namespace
