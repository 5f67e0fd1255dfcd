#include "NodeModel.h"

#include <QPalette>
#include <QTextDocument>
#include <limits>
#include <stdexcept>
#include <string>

#include "ImageList.h"

namespace cv {

namespace {

void checkStateValue(int state) {
    if (state < 0 || state > 3) {
        throw std::invalid_argument("check state index out of range: " + std::to_string(state));
    }
}

qint8 picture(int index) { return qint8(std::clamp(index, -1, 127)); }

}  // namespace

int NodeBuild::add(int parent, NodeRecords::Ref record, NodeText text, int image,
                   int selectedImage) {
    if (nodes_.size() >= std::size_t(std::numeric_limits<qint32>::max()))
        throw std::length_error("too many tree nodes");
    NodeSlot node;
    node.parent = parent;
    node.row = parent < 0 ? topCount_++ : childCounts_[std::size_t(parent)]++;
    node.record = record;
    node.textFrom = text;
    node.image = picture(image);
    node.selectedImage = picture(selectedImage);
    nodes_.push_back(node);
    childCounts_.push_back(0);
    return int(nodes_.size()) - 1;
}

int NodeBuild::add(int parent, const QString& text, NodeRecords::Ref record, int image,
                   int selectedImage) {
    const int node = add(parent, record, NodeText::Own, image, selectedImage);
    nodes_.back().text = quint32(texts_.size());
    texts_.push_back(text);
    return node;
}

NodeModel::NodeModel(QObject* parent)
    : QAbstractItemModel(parent), records_(std::make_shared<NodeRecords>()) {}

void NodeModel::setImageList(const ImageList* images) { images_ = images; }

void NodeModel::setCheckBoxes(bool shown) {
    checkBoxes_ = shown;
    if (!nodes_.empty()) statesChanged(0, size());
}

int NodeModel::levelOf(int node) const {
    int level = 0;
    for (int p = at(node).parent; p >= 0; p = at(p).parent) ++level;
    return level;
}

// The last child is the ancestor of the subtree's last node that hangs from `node`.
int NodeModel::childCount(int node) const {
    const int stop = node < 0 ? size() : at(node).end;
    if (stop == node + 1) return 0;
    int last = stop - 1;
    while (at(last).parent != node) last = at(last).parent;
    return at(last).row + 1;
}

int NodeModel::childAt(int node, int row) const {
    const int stop = node < 0 ? size() : at(node).end;
    int child = node + 1;
    int r = 0;
    if (lastChild_.parent == node && lastChild_.row <= row) {
        child = lastChild_.node;
        r = lastChild_.row;
    }
    for (; child < stop && r < row; ++r) child = at(child).end;
    if (row < 0 || child >= stop) return -1;
    lastChild_ = {node, row, child};
    return child;
}

QString NodeModel::text(int node) const {
    const NodeSlot& slot = at(node);
    if (slot.textFrom == NodeText::Own) return texts_[slot.text];
    return records_->field(slot.record, NodeRecords::Field(slot.textFrom)).toString();
}

QStringView NodeModel::field(int node, NodeRecords::Field field) const {
    return hasRecord(node) ? records_->field(at(node).record, field) : QStringView();
}

TreeNodeData NodeModel::record(int node) const {
    return hasRecord(node) ? records_->data(at(node).record) : TreeNodeData();
}

bool NodeModel::isPerson(int node) const {
    return hasRecord(node) && records_->isPerson(at(node).record);
}

bool NodeModel::sameRecord(int node, const NodeModel& other, int otherNode) const {
    return hasRecord(node) && records_ == other.records_ &&
           at(node).record == other.at(otherNode).record;
}

qsizetype NodeModel::sourceRow(int node) const {
    return hasRecord(node) ? records_->sourceRow(at(node).record) : -1;
}

void NodeModel::setState(int node, int state) {
    checkStateValue(state);
    nodes_[std::size_t(node)].state = qint8(state);
    const QModelIndex index = indexOf(node);
    emit dataChanged(index, index, {Qt::CheckStateRole});
}

void NodeModel::setStateAll(int state) {
    checkStateValue(state);
    for (NodeSlot& node : nodes_) node.state = qint8(state);
    if (!nodes_.empty()) statesChanged(0, size());
}

void NodeModel::toggle(int node) {
    if (node < 0 || node >= size() || state(node) == NoCheckBox) return;
    const qint8 newState = state(node) == Checked ? Unchecked : Checked;
    const int end = at(node).end;
    for (int n = node; n < end; ++n) nodes_[std::size_t(n)].state = newState;
    statesChanged(node, end);
    for (int up = at(node).parent; up >= 0; up = at(up).parent) {
        bool anyChecked = false;
        bool anyUnchecked = false;
        bool partial = false;
        for (int child = up + 1; child < at(up).end && !partial; child = at(child).end) {
            const int s = at(child).state;
            partial = s == PartiallyChecked;
            anyChecked |= s == Checked;
            anyUnchecked |= s == Unchecked;
        }
        nodes_[std::size_t(up)].state = partial || (anyChecked && anyUnchecked) ? PartiallyChecked
                                        : anyChecked                            ? Checked
                                                                                : Unchecked;
        const QModelIndex index = indexOf(up);
        emit dataChanged(index, index, {Qt::CheckStateRole});
    }
}

// One signal per parent whose children changed, not one per node: the last child of a
// parent is the child whose subtree ends where its parent's does.
void NodeModel::statesChanged(int first, int last) {
    const QList<int> roles{Qt::CheckStateRole};
    if (first == 0 && last == size()) {
        emit dataChanged(indexOf(0), indexOf(childAt(-1, childCount(-1) - 1)), roles);
    } else {
        emit dataChanged(indexOf(first), indexOf(first), roles);
    }
    for (int node = first + 1; node < last; ++node) {
        const int parent = at(node).parent;
        if (parent >= 0 && at(node).end == at(parent).end)
            emit dataChanged(indexOf(parent + 1), indexOf(node), roles);
    }
}

void NodeModel::setMarks(Marks marks) {
    marks_ = std::move(marks);
    if (!nodes_.empty())
        emit dataChanged(indexOf(0), indexOf(childAt(-1, childCount(-1) - 1)),
                         {Qt::ForegroundRole, Qt::ToolTipRole});
}

void NodeModel::clear() {
    beginResetModel();
    marks_ = {};
    nodes_ = {};
    texts_ = {};
    records_ = std::make_shared<NodeRecords>();
    lastChild_.parent = -2;
    endResetModel();
}

// Each node's subtree size from the last node made to the first (a parent is made before its
// children), then each node's position from the first to the last: a parent's next child
// goes where the subtrees of its earlier children end.
void NodeModel::setNodes(NodeBuild build) {
    std::vector<NodeSlot> laidOut(build.nodes_.size());
    {
        const std::vector<NodeSlot>& made = build.nodes_;
        const std::size_t count = made.size();
        std::vector<qint32> next(count, 1);  // subtree sizes, then each one's next child's place
        for (std::size_t i = count; i-- > 0;)
            if (made[i].parent >= 0) next[std::size_t(made[i].parent)] += next[i];
        std::vector<qint32> position(count);
        qint32 nextTop = 0;
        for (std::size_t i = 0; i < count; ++i) {
            NodeSlot node = made[i];
            qint32& from = node.parent < 0 ? nextTop : next[std::size_t(node.parent)];
            const qint32 place = from;
            from += next[i];
            node.end = place + next[i];
            if (node.parent >= 0) node.parent = position[std::size_t(node.parent)];
            position[i] = place;
            next[i] = place + 1;
            laidOut[std::size_t(place)] = node;
        }
        build.nodes_ = {};
        build.childCounts_ = {};
    }
    // The records in list order, each once (a person listed under several departments has
    // one): a walk over the nodes then reads them one after another, not all over the memory
    // of the build's records, which are let go. Records made in list order stay as they are.
    NodeRecords::Ref next = 0;
    const bool inOrder = std::all_of(laidOut.cbegin(), laidOut.cend(), [&](const NodeSlot& node) {
        if (node.record == next) ++next;
        return node.record == NodeRecords::None || node.record < next;
    });
    if (!inOrder) {
        auto records = std::make_shared<NodeRecords>();
        std::vector<NodeRecords::Ref> moved(std::size_t(build.records_->size()), NodeRecords::None);
        for (NodeSlot& node : laidOut) {
            if (node.record == NodeRecords::None) continue;
            NodeRecords::Ref& to = moved[node.record];
            if (to == NodeRecords::None) to = records->add(*build.records_, node.record);
            node.record = to;
        }
        build.records_ = std::move(records);
    }
    beginResetModel();
    marks_ = {};
    nodes_ = std::move(laidOut);
    texts_ = std::move(build.texts_);
    records_ = std::move(build.records_);
    lastChild_.parent = -2;
    endResetModel();
}

quint32 NodeModel::ownText(QString text) {
    texts_.push_back(std::move(text));
    return quint32(texts_.size() - 1);
}

int NodeModel::append(int parent, const QString& text, const std::optional<TreeNodeData>& record,
                      int image, int selectedImage) {
    NodeSlot node;
    node.image = picture(image);
    node.selectedImage = picture(selectedImage);
    if (record) {
        node.record = records_->add(*record);
        if (text == record->PersonName) {
            node.textFrom = NodeText::PersonName;
        } else if (text == record->NameOrLogin) {
            node.textFrom = NodeText::NameOrLogin;
        }
    }
    if (node.textFrom == NodeText::Own) node.text = ownText(text);
    node.end = 1;
    return insertBlock(parent, {node});
}

int NodeModel::appendCopy(int parent, const NodeModel& from, int node, bool withSubtree) {
    if (records_ != from.records_ &&
        std::none_of(nodes_.cbegin(), nodes_.cend(),
                     [](const NodeSlot& n) { return n.record != NodeRecords::None; })) {
        records_ = from.records_;
    }
    const bool sameRecords = records_ == from.records_;
    const int last = withSubtree ? from.at(node).end : node + 1;
    std::vector<NodeSlot> block;
    block.reserve(std::size_t(last - node));
    for (int n = node; n < last; ++n) {
        NodeSlot copy = from.at(n);
        copy.parent = n == node ? -1 : copy.parent - node;
        copy.end = (withSubtree ? copy.end : last) - node;
        copy.state = NeverSet;
        copy.selectedImage = copy.image;
        if (copy.record != NodeRecords::None && !sameRecords)
            copy.record = records_->add(*from.records_, copy.record);
        if (copy.textFrom == NodeText::Own) copy.text = ownText(from.texts_[copy.text]);
        block.push_back(copy);
    }
    return insertBlock(parent, std::move(block));
}

template <typename Where>
void NodeModel::movePersistent(Where where) {
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before) {
        const int moved = where(int(index.internalId()));
        after << (moved < 0 ? QModelIndex() : indexOf(moved));
    }
    changePersistentIndexList(before, after);
}

// A structural change is told as a change of layout: the persistent indexes are moved to
// where their nodes are now, whether or not they are children of the parent that changed.
int NodeModel::insertBlock(int parent, std::vector<NodeSlot> block) {
    if (nodes_.size() + block.size() > std::size_t(std::numeric_limits<qint32>::max()))
        throw std::length_error("too many tree nodes");
    const int first = parent < 0 ? size() : at(parent).end;
    const int count = int(block.size());
    block[0].row = childCount(parent);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i].parent = i == 0 ? parent : block[i].parent + first;
        block[i].end += first;
    }
    emit layoutAboutToBeChanged();
    lastChild_.parent = -2;
    for (std::size_t n = std::size_t(first); n < nodes_.size(); ++n) {
        nodes_[n].end += count;
        if (nodes_[n].parent >= first) nodes_[n].parent += count;
    }
    for (int up = parent; up >= 0; up = at(up).parent) nodes_[std::size_t(up)].end += count;
    nodes_.insert(nodes_.begin() + first, block.cbegin(), block.cend());
    movePersistent([&](int node) { return node < first ? node : node + count; });
    emit layoutChanged();
    return first;
}

void NodeModel::remove(int node) { eraseRange(node, at(node).end, true); }

void NodeModel::removeChildren(int node) { eraseRange(node + 1, at(node).end, false); }

void NodeModel::eraseRange(int first, int last, bool shiftsRows) {
    if (first >= last) return;
    const int parent = at(first).parent;
    const int count = last - first;
    emit layoutAboutToBeChanged();
    lastChild_.parent = -2;
    if (shiftsRows) {
        const int stop = parent < 0 ? size() : at(parent).end;
        for (int sibling = last; sibling < stop; sibling = at(sibling).end)
            --nodes_[std::size_t(sibling)].row;
    }
    for (std::size_t n = std::size_t(last); n < nodes_.size(); ++n) {
        nodes_[n].end -= count;
        if (nodes_[n].parent >= last) nodes_[n].parent -= count;
    }
    for (int up = parent; up >= 0; up = at(up).parent) nodes_[std::size_t(up)].end -= count;
    nodes_.erase(nodes_.begin() + first, nodes_.begin() + last);
    movePersistent([&](int node) { return node < first ? node : node < last ? -1 : node - count; });
    emit layoutChanged();
}

QModelIndex NodeModel::indexOf(int node) const {
    return node < 0 || node >= size() ? QModelIndex()
                                      : createIndex(at(node).row, 0, quintptr(node));
}

int NodeModel::nodeOf(const QModelIndex& index) const {
    return index.isValid() && index.model() == this ? int(index.internalId()) : -1;
}

QModelIndex NodeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || (parent.isValid() && nodeOf(parent) < 0)) return {};
    const int child = childAt(nodeOf(parent), row);
    return child < 0 ? QModelIndex() : createIndex(row, 0, quintptr(child));
}

QModelIndex NodeModel::parent(const QModelIndex& child) const {
    const int node = nodeOf(child);
    return node < 0 ? QModelIndex() : indexOf(at(node).parent);
}

int NodeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) return 0;
    return parent.isValid() ? childCount(nodeOf(parent)) : childCount(-1);
}

int NodeModel::columnCount(const QModelIndex&) const { return 1; }

bool NodeModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) return !nodes_.empty();
    const int node = nodeOf(parent);
    return node >= 0 && parent.column() == 0 && at(node).end > node + 1;
}

QVariant NodeModel::data(const QModelIndex& index, int role) const {
    const int node = nodeOf(index);
    if (node < 0) return {};
    const NodeSlot& slot = at(node);
    switch (role) {
        case Qt::DisplayRole:
        case Qt::EditRole:
            return text(node);
        case Qt::ToolTipRole: {
            // Shown as plain text even where it looks like markup, on one line.
            QString whole = text(node);
            if (marks_)
                if (const QString note = marks_(node); !note.isEmpty())
                    whole += QLatin1Char('\n') + note;
            if (whole.isEmpty()) return {};
            return Qt::mightBeRichText(whole)
                       ? Qt::convertFromPlainText(whole, Qt::WhiteSpaceNoWrap)
                       : whole;
        }
        case Qt::ForegroundRole:
            if (!marks_ || marks_(node).isEmpty()) return {};
            return QPalette().color(QPalette::Disabled, QPalette::Text);
        case Qt::DecorationRole:
            if (images_ == nullptr || slot.image < 0) return {};
            return images_->icon(slot.image, slot.selectedImage);
        case Qt::CheckStateRole:
            if (!checkBoxes_ || slot.state == NoCheckBox) return {};
            return int(slot.state == Checked            ? Qt::Checked
                       : slot.state == PartiallyChecked ? Qt::PartiallyChecked
                                                        : Qt::Unchecked);
        // The record's ID lets a host find a node it wants to select, the way assistive tools
        // find a node by its name; its Kind tells people from departments.
        case Qt::UserRole:
            return hasRecord(node) ? QVariant(field(node, NodeRecords::ID).toString()) : QVariant();
        case Qt::UserRole + 1:
            return hasRecord(node) ? QVariant(field(node, NodeRecords::Kind).toString())
                                   : QVariant();
        default:
            return {};
    }
}

Qt::ItemFlags NodeModel::flags(const QModelIndex& index) const {
    return nodeOf(index) < 0 ? Qt::NoItemFlags : Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

}  // namespace cv
