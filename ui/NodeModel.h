// The nodes of a tree in one array in list order (depth first, parents before children): each
// node holds its parent, where its subtree ends, its row among its siblings, its check state,
// its record and its pictures. NodeModel is a QAbstractItemModel over the array, shown by
// NodeTree. A subtree is the range [node, end of node): a walk over the list order, a
// cascade over a subtree or over every node reads the array and nothing else.
//
// A node is named by its position in the array. Positions after an insertion or a removal
// move; the model moves every QPersistentModelIndex with them (so a view keeps its opened
// nodes, selection and current node), and a position held across such a change must be
// taken again, except for the nodes before the change, which stay where they are.
//
// Check states: NeverSet (-1), 0 no tick box, 1 unchecked, 2 checked, 3 partially checked.
// A node whose state was never set is shown and toggled as unchecked, but counts as neither
// checked nor unchecked when its parent is recomputed.
#pragma once

#include <QAbstractItemModel>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "NodeRecords.h"

namespace cv {

class ImageList;

// Where a node's text comes from: its own, or a text of its record (a person's node shows
// PersonName, a department's NameOrLogin), which then costs the node nothing.
enum class NodeText : quint8 {
    Own = 0xFF,
    PersonName = NodeRecords::PersonName,
    NameOrLogin = NodeRecords::NameOrLogin
};

struct NodeSlot {
    qint32 parent = -1;  // -1: top level
    qint32 end = 0;      // the position after the subtree
    qint32 row = 0;      // among the parent's children
    NodeRecords::Ref record = NodeRecords::None;
    quint32 text = 0;  // NodeText::Own: the text's number in the model's texts
    qint8 state = -1;
    qint8 image = -1;  // -1: no picture
    qint8 selectedImage = 0;
    NodeText textFrom = NodeText::Own;
};

// Nodes made apart from any model, each appended as the last child of a node made before it
// (or at top level), then laid out in list order in one pass when a model takes them
// (NodeModel::setNodes): the way to fill a tree in bulk, in whatever order its parents come.
class NodeBuild {
public:
    NodeBuild() : records_(std::make_shared<NodeRecords>()) {}

    NodeRecords& records() { return *records_; }
    // The new node's number in this build; `parent` -1 for top level.
    int add(int parent, NodeRecords::Ref record, NodeText text, int image, int selectedImage = 0);
    int add(int parent, const QString& text, NodeRecords::Ref record, int image,
            int selectedImage = 0);
    int parentOf(int node) const { return nodes_[std::size_t(node)].parent; }

private:
    friend class NodeModel;
    std::shared_ptr<NodeRecords> records_;
    std::vector<NodeSlot> nodes_;  // in the order made; parent and row as made
    std::vector<qint32> childCounts_;
    qint32 topCount_ = 0;
    std::vector<QString> texts_;
};

class NodeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    static constexpr int NeverSet = -1;
    static constexpr int NoCheckBox = 0;
    static constexpr int Unchecked = 1;
    static constexpr int Checked = 2;
    static constexpr int PartiallyChecked = 3;

    explicit NodeModel(QObject* parent = nullptr);

    // The picture list is not owned; it must outlive the model.
    void setImageList(const ImageList* images);
    const ImageList* imageList() const { return images_; }
    // Whether states are shown as tick boxes (Qt::CheckStateRole). Off, the states stay.
    void setCheckBoxes(bool shown);
    bool checkBoxes() const { return checkBoxes_; }

    int size() const { return int(nodes_.size()); }
    int parentOf(int node) const { return at(node).parent; }
    int endOf(int node) const { return at(node).end; }
    int rowOf(int node) const { return at(node).row; }
    int levelOf(int node) const;           // 0 for a top-level node
    int childCount(int node) const;        // -1: the top-level nodes
    int childAt(int node, int row) const;  // -1 when there is none
    QString text(int node) const;
    int image(int node) const { return at(node).image; }
    int selectedImage(int node) const { return at(node).selectedImage; }
    bool hasRecord(int node) const { return node >= 0 && at(node).record != NodeRecords::None; }
    // A text of the node's record; empty without one.
    QStringView field(int node, NodeRecords::Field field) const;
    TreeNodeData record(int node) const;  // empty texts without a record (or node -1)
    bool isPerson(int node) const;        // the record's Kind is "1"
    bool sameRecord(int node, const NodeModel& other, int otherNode) const;
    qsizetype sourceRow(int node) const;  // of the record's file, or -1

    // Calls `visit(node, level)` for every node in list order.
    template <typename Visit>
    void forEachNode(Visit visit) const {
        std::vector<int> open;  // ends of the subtrees the walk is in
        for (int node = 0; node < size(); ++node) {
            while (!open.empty() && open.back() <= node) open.pop_back();
            visit(node, int(open.size()));
            if (nodes_[std::size_t(node)].end > node + 1)
                open.push_back(nodes_[std::size_t(node)].end);
        }
    }

    int state(int node) const { return at(node).state; }
    // One node's state (0..3), without cascade. Throws std::invalid_argument for another.
    void setState(int node, int state);
    // Every node gets `state` (0..3), without cascade.
    void setStateAll(int state);
    // The user's toggle: no effect on a node in state 0 (nor on a position holding no node);
    // otherwise a checked node becomes
    // unchecked and any other checked. Then its whole subtree takes the new state, and every
    // ancestor, parent first, is recomputed from its direct children: partially checked if a
    // child is or if both checked and unchecked children exist, else checked if one child is
    // checked, else unchecked.
    void toggle(int node);

    void clear();
    // The build's nodes replace the model's, laid out in list order, their records as well.
    void setNodes(NodeBuild build);
    // A new last child of `parent` (-1: top level) with `text` and, when given, a record; the
    // node shows its record's PersonName or NameOrLogin where that is its text.
    int append(int parent, const QString& text, const std::optional<TreeNodeData>& record = {},
               int image = -1, int selectedImage = 0);
    // A copy of `node` of `from` (with its whole subtree when `withSubtree`) as the last child
    // of `parent`: the same texts and records (the same records where the two models share
    // them: a model whose nodes hold none takes `from`'s), each copy's picture as both its
    // pictures, no state set. Returns the copy of `node`.
    int appendCopy(int parent, const NodeModel& from, int node, bool withSubtree);
    void remove(int node);  // with its subtree
    void removeChildren(int node);

    // Marks a caller puts on nodes (an import's plan: the people it will not store). A node
    // with a note is shown greyed, its tooltip adding the note on a line of its own; texts,
    // pictures and states stay. `marks` is asked whenever a view paints a node or shows its
    // tooltip, so it must be cheap. Setting it tells the views that every node's look may
    // have changed; clear() and setNodes() drop it.
    using Marks = std::function<QString(int node)>;
    void setMarks(Marks marks);

    QModelIndex indexOf(int node) const;
    int nodeOf(const QModelIndex& index) const;  // -1 for an index of no node of this model

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    // Qt::UserRole: the record's ID; Qt::UserRole + 1: its Kind. Tooltip: the whole text.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    const NodeSlot& at(int node) const { return nodes_[std::size_t(node)]; }
    // Tells the views that the states of [first, last) changed: the whole array, or a subtree.
    void statesChanged(int first, int last);
    // Puts `block` (parents and ends relative to its start, its first node's parent -1) in
    // as the last child of `parent`.
    int insertBlock(int parent, std::vector<NodeSlot> block);
    // Takes out [first, last): a node's subtree (`shiftsRows`: its later siblings move up a
    // row) or all of a node's children.
    void eraseRange(int first, int last, bool shiftsRows);
    // Moves the persistent indexes: `where(old position)` is the new one, or -1.
    template <typename Where>
    void movePersistent(Where where);
    quint32 ownText(QString text);

    std::vector<NodeSlot> nodes_;
    std::vector<QString> texts_;
    std::shared_ptr<NodeRecords> records_;
    const ImageList* images_ = nullptr;
    bool checkBoxes_ = false;
    Marks marks_;
    // The last child found by index(): views ask for the rows of a parent one after another.
    mutable struct {
        int parent = -2;
        int row = 0;
        int node = 0;
    } lastChild_;
};

}  // namespace cv
