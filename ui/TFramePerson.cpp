#include "TFramePerson.h"

#include <QApplication>
#include <QDrag>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <limits>
#include <stdexcept>
#include <vector>

#include "FormLook.h"
#include "HostServices.h"
#include "MessageBox.h"
#include "StoreError.h"
#include "TDM_PersonPack.h"
#include "TreeBuilder.h"

namespace cv {

const QString TFramePerson::InstanceName = QStringLiteral("FramePerson");

namespace {

// What a drag from the check tree carries; the dragged node is the tree's selected node.
const QString NodeMimeType = QStringLiteral("application/x-cvpersonpack-node");

QLineEdit* addField(QWidget* box, const QString& caption, int labelTop, int editTop) {
    auto* label = new QLabel(caption, box);
    label->move(16, labelTop);
    label->adjustSize();
    auto* edit = new QLineEdit(box);
    edit->setReadOnly(true);
    edit->setGeometry(16, editTop, 153, 20);
    return edit;
}

}  // namespace

TFramePerson::TFramePerson(QWidget* parent)
    : QFrame(parent), imglstTreeView(ImageList::treePictures()) {
    setObjectName(InstanceName);
    buildLayout();
}

// The check tree's model holds the records and the target tree's copies share them, so
// destroying the two trees with the frame releases every record.
TFramePerson::~TFramePerson() = default;

void TFramePerson::buildLayout() {
    applyFormLook(*this);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    CTDeptPerson = new CheckTree(this);
    CTDeptPerson->setObjectName(QStringLiteral("CTDeptPerson"));
    CTDeptPerson->setImageList(&imglstTreeView);
    CTDeptPerson->setFrameShape(QFrame::Box);
    CTDeptPerson->setFrameShadow(QFrame::Plain);
    auto* treeColumn = new QVBoxLayout;
    treeColumn->setContentsMargins(0, 0, 0, 0);
    treeColumn->setSpacing(0);
    treeColumn->addWidget(CTDeptPerson, 1);
    LblPlan = new QLabel(this);
    LblPlan->setObjectName(QStringLiteral("LblPlan"));
    LblPlan->setContentsMargins(4, 3, 4, 3);
    LblPlan->setTextFormat(Qt::PlainText);
    LblPlan->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LblPlan->hide();
    treeColumn->addWidget(LblPlan);
    layout->addLayout(treeColumn, 1);

    SizePnl = new SizePanel(this, 214, 7);
    SizePnl->setObjectName(QStringLiteral("SizePnl"));
    SizePnl->setLockBar(true);
    layout->addWidget(SizePnl);

    TvDeptPerson = new NodeTree;
    TvDeptPerson->setObjectName(QStringLiteral("TvDeptPerson"));
    TvDeptPerson->setImageList(&imglstTreeView);
    TvDeptPerson->nodes().append(-1, QStringLiteral("部门信息"), {}, 0);
    TvDeptPerson->setAcceptDrops(true);
    TvDeptPerson->viewport()->setAcceptDrops(true);
    TvDeptPerson->viewport()->installEventFilter(this);
    TvDeptPerson->setContextMenuPolicy(Qt::CustomContextMenu);
    SizePnl->addClientWidget(TvDeptPerson);

    PnlImport = new QFrame;
    PnlImport->setObjectName(QStringLiteral("PnlImport"));
    PnlImport->setFrameShape(QFrame::NoFrame);
    PnlImport->setAutoFillBackground(true);
    auto* panelLayout = new QVBoxLayout(PnlImport);
    panelLayout->setContentsMargins(6, 6, 6, 6);
    panelLayout->setSpacing(0);
    GroupBox2 = new QGroupBox(QStringLiteral("人员信息"), PnlImport);
    GroupBox2->setFixedHeight(234);
    EdtPerUUID = addField(GroupBox2, QStringLiteral("编  码："), 24, 43);
    EdtPerName = addField(GroupBox2, QStringLiteral("姓  名："), 72, 92);
    EdtPerSex = addField(GroupBox2, QStringLiteral("性  别："), 123, 145);
    EdtLoginName = addField(GroupBox2, QStringLiteral("登录名："), 177, 195);
    GroupBox1 = new QGroupBox(QStringLiteral("部门信息"), PnlImport);
    EdtDeptID = addField(GroupBox1, QStringLiteral("编  码："), 20, 42);
    EdtDeptName = addField(GroupBox1, QStringLiteral("名  称："), 74, 97);
    GroupBoxPlan = new QGroupBox(QStringLiteral("预计导入"), PnlImport);
    GroupBoxPlan->setObjectName(QStringLiteral("GroupBoxPlan"));
    auto* planLayout = new QVBoxLayout(GroupBoxPlan);
    LblPlanned = new QLabel(GroupBoxPlan);
    LblPlanned->setObjectName(QStringLiteral("LblPlanned"));
    LblPlanned->setTextFormat(Qt::PlainText);
    LblPlanned->setWordWrap(true);
    LblPlanned->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LblPlanned->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A reason runs to a few lines in the panel's width.
    LblPlanned->setMinimumHeight(4 * LblPlanned->fontMetrics().lineSpacing());
    planLayout->addWidget(LblPlanned);
    GroupBoxPlan->hide();
    panelLayout->addWidget(GroupBox2);
    panelLayout->addWidget(GroupBoxPlan);
    panelLayout->addWidget(GroupBox1, 1);
    SizePnl->addClientWidget(PnlImport);

    TBPopupMenu1 = new QMenu(this);
    TBPopupMenu1->setObjectName(QStringLiteral("TBPopupMenu1"));
    TBPopupMenu1->addAction(QStringLiteral("刷新树列表"), this, &TFramePerson::TBItem6Click);
    TBPopupMenu1->addSeparator();
    TBPopupMenu1->addAction(QStringLiteral("清空列表"), this, &TFramePerson::TBItem3Click);
    TBPopupMenu1->addAction(QStringLiteral("删除该节点"), this, &TFramePerson::TBItem4Click);
    TBPopupMenu1->addAction(QStringLiteral("删除所有子节点"), this, &TFramePerson::TBItem5Click);

    CTDeptPerson->viewport()->installEventFilter(this);
    connect(CTDeptPerson, &QTreeView::clicked, this, [this] { CTDeptPersonClick(); });
    connect(CTDeptPerson, &NodeTree::mouseDown, this, &TFramePerson::CTDeptPersonMouseDown);
    connect(TvDeptPerson, &NodeTree::mouseDown, this, &TFramePerson::TvDeptPersonMouseDown);
    connect(TvDeptPerson, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (menuForThisClick_) {
            menuForThisClick_ = false;
            TBPopupMenu1->popup(TvDeptPerson->viewport()->mapToGlobal(pos));
        }
    });
}

void TFramePerson::setParentWindow(QWidget* window) {
    setParent(window);
    fillParent();
    show();
}

void TFramePerson::fillParent() {
    QWidget* parent = parentWidget();
    if (parent == nullptr || isWindow()) {
        return;
    }
    QLayout* parentLayout = parent->layout();
    if (parentLayout == nullptr || parentLayout->indexOf(this) < 0) {
        setGeometry(parent->rect());
    }
}

bool TFramePerson::event(QEvent* event) {
    if (event->type() == QEvent::ParentChange) {
        if (watchedParent_ != nullptr) {
            watchedParent_->removeEventFilter(this);
        }
        watchedParent_ = parentWidget();
        if (watchedParent_ != nullptr) {
            watchedParent_->installEventFilter(this);
            fillParent();
        }
    }
    return QFrame::event(event);
}

bool TFramePerson::LoadFromDatabase() {
    TDM_PersonPack* module = TDM_PersonPack::instance();
    if (module == nullptr) {
        throw StoreError("the data module DM_PersonPack does not exist");
    }
    if (host::workingStyle() == 2) {
        return BuildDeptPersonTree(*CTDeptPerson, module->BaseConnection());
    }
    return BuildDeptPersonTree(*CTDeptPerson, module->ConnectionBroker());
}

bool TFramePerson::LoadFromPackage(const QString& packageArgument,
                                   const PackageTreeBuilder& build) {
    if (!build) {
        throw std::invalid_argument("LoadFromPackage needs a package tree builder");
    }
    return build(packageArgument, *CTDeptPerson);
}

void TFramePerson::ExpandToLevel(int level) {
    // The end state of "expand everything, then collapse every node of `level` or deeper
    // with its descendants", laid out once rather than once per node.
    CTDeptPerson->openAboveLevel(level);
}

void TFramePerson::CTDeptPersonClick() {
    const NodeModel& nodes = CTDeptPerson->nodes();
    const int node = CTDeptPerson->selectedNode();
    if (node < 0 || !nodes.hasRecord(node)) return;
    // A department shows itself; anything else is a person, shown with its parent's record
    // (empty where the parent has none).
    const TreeNodeData data = nodes.record(node);
    const bool department = data.Kind == QLatin1String("0");
    const TreeNodeData dept = department ? data : nodes.record(nodes.parentOf(node));
    const TreeNodeData person = department ? TreeNodeData() : data;
    EdtDeptID->setText(dept.ID);
    EdtDeptName->setText(dept.NameOrLogin);
    EdtPerUUID->setText(person.ID);
    EdtPerName->setText(person.PersonName);
    EdtPerSex->setText(person.Sex);
    EdtLoginName->setText(person.NameOrLogin);
    const QString planned = planNoteOf_ ? planNoteOf_(node) : QString();
    LblPlanned->setText(planned);
    GroupBoxPlan->setVisible(!planned.isEmpty());
}

void TFramePerson::setPlanLine(const QString& line) {
    LblPlan->setText(line);
    LblPlan->setVisible(!line.isEmpty());
}

void TFramePerson::setPlanNotes(std::function<QString(int node)> noteOf) {
    planNoteOf_ = std::move(noteOf);
    if (!planNoteOf_) GroupBoxPlan->hide();
}

void TFramePerson::CTDeptPersonMouseDown(Qt::MouseButton button, const QPoint& pos) {
    if (button == Qt::LeftButton && !CTDeptPerson->hasCheckBoxes()) {
        dragPending_ = true;
        dragStart_ = pos;
    }
}

bool TFramePerson::filterCheckTreeMouse(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            dragPending_ = false;
            dragStarted_ = false;
            return false;
        case QEvent::MouseMove: {
            if (!dragPending_) return false;
            auto* move = static_cast<QMouseEvent*>(event);
            if (!(move->buttons() & Qt::LeftButton)) {
                dragPending_ = false;
                return false;
            }
            // Until the drag starts the tree does not see the pointer travel, so it cannot
            // move the selection away from the node that is to be dragged.
            const QPoint travelled = move->position().toPoint() - dragStart_;
            if (travelled.manhattanLength() >= QApplication::startDragDistance()) {
                dragPending_ = false;
                dragStarted_ = true;
                startDragOfSelected();
            }
            return true;
        }
        case QEvent::MouseButtonRelease:
            dragPending_ = false;
            // Where the platform hands the release of a finished drag on to the tree, it must
            // not count as a click.
            if (dragStarted_) {
                dragStarted_ = false;
                return true;
            }
            return false;
        default:
            return false;
    }
}

void TFramePerson::startDragOfSelected() {
    const int node = CTDeptPerson->selectedNode();
    if (node < 0) return;
    auto* drag = new QDrag(CTDeptPerson);  // deleted by Qt when the drag ends
    auto* mime = new QMimeData;
    mime->setData(NodeMimeType, QByteArray());
    drag->setMimeData(mime);
    const QPixmap picture = imglstTreeView.picture(CTDeptPerson->nodes().image(node));
    if (!picture.isNull()) {
        drag->setPixmap(picture);
    }
    drag->exec(Qt::CopyAction);
}

void TFramePerson::TvDeptPersonMouseDown(Qt::MouseButton button, const QPoint& pos) {
    if (button != Qt::RightButton) {
        return;
    }
    const int node = TvDeptPerson->nodeAt(pos);
    menuForThisClick_ = node >= 0;
    if (node >= 0) TvDeptPerson->setCurrentNode(node);
}

bool TFramePerson::TvDeptPersonDragOver(const QObject* source, const QPoint& pos) const {
    if (source != CTDeptPerson) {
        return false;
    }
    const int dragged = CTDeptPerson->selectedNode();
    if (dragged < 0) return false;
    const int target = TvDeptPerson->nodeAt(pos);
    if (target < 0) return true;
    const int targetLevel = TvDeptPerson->nodes().levelOf(target);
    const int draggedLevel = CTDeptPerson->nodes().levelOf(dragged);
    return targetLevel < draggedLevel || (targetLevel == 0 && draggedLevel == 0);
}

void TFramePerson::TvDeptPersonDragDrop(const QObject* source, const QPoint& pos) {
    if (!TvDeptPersonDragOver(source, pos)) {
        return;
    }
    CopyWithAncestors(CTDeptPerson->selectedNode(), TvDeptPerson->nodeAt(pos), true);
    // Collapsed, then every node opened, laid out once.
    TvDeptPerson->openAboveLevel(std::numeric_limits<int>::max());
}

bool TFramePerson::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watchedParent_ && event->type() == QEvent::Resize) {
        fillParent();
        return false;
    }
    if (watched == CTDeptPerson->viewport() && filterCheckTreeMouse(event)) {
        return true;
    }
    if (watched == TvDeptPerson->viewport()) {
        switch (event->type()) {
            case QEvent::DragEnter: {
                auto* enter = static_cast<QDragEnterEvent*>(event);
                if (enter->source() == CTDeptPerson && enter->mimeData()->hasFormat(NodeMimeType)) {
                    enter->acceptProposedAction();
                } else {
                    enter->ignore();
                }
                return true;
            }
            case QEvent::DragMove: {
                auto* move = static_cast<QDragMoveEvent*>(event);
                if (TvDeptPersonDragOver(move->source(), move->position().toPoint())) {
                    move->acceptProposedAction();
                } else {
                    move->ignore();
                }
                return true;
            }
            case QEvent::Drop: {
                auto* drop = static_cast<QDropEvent*>(event);
                const QPoint pos = drop->position().toPoint();
                if (TvDeptPersonDragOver(drop->source(), pos)) {
                    TvDeptPersonDragDrop(drop->source(), pos);
                    drop->acceptProposedAction();
                } else {
                    drop->ignore();
                }
                return true;
            }
            default:
                break;
        }
    }
    return QFrame::eventFilter(watched, event);
}

int TFramePerson::FindSameNode(int node) const {
    if (node < 0) return -1;
    const NodeModel& source = CTDeptPerson->nodes();
    const NodeModel& target = TvDeptPerson->nodes();
    const int level = source.levelOf(node);
    const QStringView id = source.field(node, NodeRecords::ID);
    int match = -1;
    // List order, but nothing below `level` is visited: the nodes on that level come in the
    // same order either way.
    std::vector<int> open;  // ends of the subtrees the walk is in
    for (int candidate = 0; candidate < target.size();) {
        while (!open.empty() && open.back() <= candidate) open.pop_back();
        if (int(open.size()) < level) {
            open.push_back(target.endOf(candidate));
            ++candidate;
            continue;
        }
        if (!target.hasRecord(candidate)) {
            match = 0;
        } else if (source.hasRecord(node) && target.field(candidate, NodeRecords::ID) == id) {
            return candidate;
        }
        candidate = target.endOf(candidate);
    }
    return match;
}

int TFramePerson::CopySubtree(int source, int targetParent) {
    return TvDeptPerson->nodes().appendCopy(targetParent, CTDeptPerson->nodes(), source, true);
}

void TFramePerson::CopyWithAncestors(int dragged, int dropTarget, bool withSubtree) {
    try {
        if (dragged < 0) return;
        const NodeModel& source = CTDeptPerson->nodes();
        NodeModel& target = TvDeptPerson->nodes();
        std::vector<int> path;
        for (int node = dragged; node >= 0; node = source.parentOf(node)) path.push_back(node);
        // Nodes are only appended below `current`, which stays where it is.
        int current = dropTarget;
        bool creating = false;
        for (auto entry = path.rbegin(); entry != path.rend(); ++entry) {
            if (!creating) {
                if (const int match = FindSameNode(*entry); match >= 0) {
                    current = match;
                    continue;
                }
                creating = true;
            }
            current = target.appendCopy(current, source, *entry, false);
        }
        if (withSubtree && source.endOf(dragged) > dragged + 1 && current >= 0) {
            const int parent = target.parentOf(current);
            target.remove(current);
            CopySubtree(dragged, parent);
        }
    } catch (const std::exception&) {
        // A drop is handled inside Qt's event loop, which an exception must not cross: the
        // merge ends quietly and what was added so far stays.
    }
}

int TFramePerson::TopNode() const { return TvDeptPerson->nodes().size() > 0 ? 0 : -1; }

void TFramePerson::TBItem6Click() {
    if (TvDeptPerson->selectedNode() >= 0) TvDeptPerson->viewport()->repaint();
}

void TFramePerson::TBItem3Click() {
    if (TvDeptPerson->selectedNode() < 0) return;
    if (const int top = TopNode(); top >= 0) TvDeptPerson->nodes().removeChildren(top);
}

void TFramePerson::TBItem4Click() {
    const int node = TvDeptPerson->selectedNode();
    if (node < 0) return;
    NodeModel& nodes = TvDeptPerson->nodes();
    const QString text = nodes.text(node);
    const QString question =
        nodes.childCount(node) > 0
            ? QStringLiteral("确定删除该节点（") + text + QStringLiteral("）及所有子节点吗？")
            : QStringLiteral("确定删除该节点（") + text + QStringLiteral("）吗？");
    if (MessageBox::show(question, MessageBox::FlagsYesNoQuestion, this) != MessageBox::IdYes) {
        return;
    }
    nodes.removeChildren(node);
    if (node != TopNode()) nodes.remove(node);
}

void TFramePerson::TBItem5Click() {
    const int node = TvDeptPerson->selectedNode();
    if (node < 0) return;
    NodeModel& nodes = TvDeptPerson->nodes();
    const QString text = nodes.text(node);
    if (nodes.childCount(node) == 0) {
        MessageBox::show(QStringLiteral("该节点（") + text + QStringLiteral("）没有子字节点！"),
                         MessageBox::FlagsOk, this);
        return;
    }
    if (MessageBox::show(
            QStringLiteral("确定删除该节点（") + text + QStringLiteral("）的所有子字节点吗？"),
            MessageBox::FlagsYesNoQuestion, this) == MessageBox::IdYes) {
        nodes.removeChildren(node);
    }
}

}  // namespace cv
