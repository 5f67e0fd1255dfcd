#include "ImportPreviewPlan.h"

#include <QTimer>
#include <algorithm>
#include <optional>

#include "CheckTree.h"
#include "FrameEmbedding.h"
#include "Heartbeat.h"
#include "ImportPlanSession.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TextCodec.h"

namespace cv {
namespace {

const char* const PlanObjectName = "ImportPreviewPlan";

}  // namespace

void ImportPreviewPlan::attach(TFramePerson& frame, const PackageFiles& files) {
    if (of(frame)) return;  // a frame shows one package
    new ImportPreviewPlan(frame, files);
}

ImportPreviewPlan* ImportPreviewPlan::of(const QObject& frame) {
    return frame.findChild<ImportPreviewPlan*>(QLatin1String(PlanObjectName),
                                               Qt::FindDirectChildrenOnly);
}

namespace {
qsizetype& limit() {
    static qsizetype people = 200000;
    return people;
}
}  // namespace

qsizetype ImportPreviewPlan::autoPlanLimit() { return limit(); }
void ImportPreviewPlan::setAutoPlanLimit(qsizetype people) { limit() = people; }

ImportPreviewPlan::ImportPreviewPlan(TFramePerson& frame, const PackageFiles& files)
    : QObject(&frame), frame_(frame), files_(std::make_unique<PackageFiles>(files)) {
    setObjectName(QLatin1String(PlanObjectName));
    const NodeModel& tree = frame.CTDeptPerson->nodes();
    // Every person node the user may tick (the root's own record is never imported).
    itemOfNode_.assign(std::size_t(tree.size()), -1);
    for (int node = 1; node < tree.size(); ++node) {
        if (!tree.isPerson(node)) continue;
        itemOfNode_[std::size_t(node)] = int(nodes_.size());
        nodes_.push_back(node);
        persons_.append({tree.field(node, NodeRecords::ID).toString(), tree.sourceRow(node)});
    }
    model_ = ImportAccount::attach(frame, ImportAccount::PlanName, {});
    connect(&tree, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (roles.isEmpty() || roles.contains(Qt::CheckStateRole)) ticksChanged();
            });
    frame_.setPlanNotes([this](int node) { return noteOf(node); });
    stale_ = true;
    deferred_ = qsizetype(nodes_.size()) > autoPlanLimit();
    if (deferred_) {
        model_->setRowSource([this] { return rowsNow(); });
        publish();
        frame_.setPlanLine(line());
        return;
    }
    planNow();
    model_->setRowSource([this] { return accountRows(); });
    show();
}

bool ImportPreviewPlan::open() {
    if (session_ || !failure_.isEmpty() || !files_) return session_ != nullptr;
    try {
        if (const QString why = ReadImportItems(*files_, persons_, items_); !why.isEmpty()) {
            failure_ = why;
        } else if (TDM_PersonPack* module = TDM_PersonPack::instance()) {
            session_ = std::make_unique<ImportPlanSession>(*module, items_.people, items_.deptRows);
        } else {
            failure_ = QStringLiteral("数据库连接不可用");
        }
    } catch (const std::exception& e) {
        failure_ = QStringLiteral("无法读取数据库: ") + logSafeText(QString::fromUtf8(e.what()));
    }
    files_.reset();  // an unpacked package's folder goes once its items are read
    return session_ != nullptr;
}

void ImportPreviewPlan::publish() {
    model_->setProperty(ImportAccount::SummaryProperty, line());
    model_->setProperty(ImportAccount::FailureProperty, plan_ ? QString() : failure_);
}

// Goes with its frame: the tree and the panel it marked go too.
ImportPreviewPlan::~ImportPreviewPlan() = default;

void ImportPreviewPlan::ticksChanged() {
    if (stale_ || released_) return;
    stale_ = true;
    // A host that reads the plan before control returns to the event loop gets it planned.
    model_->setRowSource([this] { return rowsNow(); });
    if (!session_) return;  // planned when the host asks
    // A click toggles a subtree and tells its parents one signal each: planned once, after.
    QTimer::singleShot(0, this, [this] { settle(); });
}

QList<AccountRow> ImportPreviewPlan::rowsNow() {
    // Once the import has the plan nothing more is planned; the host may read the rows off
    // its window's thread then.
    if (released_) return accountRows();
    std::optional<OperationProgress> progress;
    if (!session_ && deferred_) {
        // Asked for the first time: the package and the store are read now, over the host's
        // window.
        progress.emplace(HostWindowOfFrame(), QStringLiteral("正在预计导入结果: %1 行"), 0,
                         OperationProgress::Cancel::NotOffered);
        progress->countRows(1);
    }
    planNow();
    show();
    return accountRows();
}

void ImportPreviewPlan::settle() {
    if (!stale_ || (deferred_ && !session_)) return;
    planNow();
    show();
}

bool ImportPreviewPlan::release(const QList<TickedPerson>& ticked, ImportItems& items) {
    if (released_) return false;
    if (session_) {
        settle();
        if (plan_) plan_ = &session_->named();
    }
    released_ = true;
    frame_.CTDeptPerson->nodes().setMarks({});
    frame_.setPlanNotes({});
    bool handed = false;
    if (plan_) {
        const bool same =
            qsizetype(ticked_.size()) == ticked.size() &&
            std::equal(ticked_.cbegin(), ticked_.cend(), ticked.cbegin(),
                       [this](qsizetype item, const TickedPerson& t) {
                           return persons_[item].id == t.id && persons_[item].row == t.row;
                       });
        RowInputs inputs = rowInputs();  // what stays of the plan
        if (same) {
            QList<ImportItem> people;
            if (ticked_.size() == nodes_.size()) {
                people = std::move(items_.people);  // everybody ticked, in list order
            } else {
                people.reserve(qsizetype(ticked_.size()));
                for (const qsizetype item : ticked_) people.append(items_.people[item]);
            }
            items.people = std::move(people);
            items.deptRows = std::move(items_.deptRows);
            handed = true;
        }
        model_->setRowSource(
            [inputs = std::move(inputs), results = plan_->results, stop = plan_->stopReason] {
                return AccountOf(inputs.ticked, inputs.items, results, stop, true);
            });
    }
    plan_ = nullptr;
    session_.reset();  // the image: the import reads its own
    items_ = {};
    persons_ = {};
    ticked_ = {};
    planIndex_ = {};
    return handed;
}

void ImportPreviewPlan::planNow() {
    if (!stale_ || released_) return;
    stale_ = false;
    if (!open()) {
        plan_ = nullptr;
        publish();
        return;
    }
    const NodeModel& tree = frame_.CTDeptPerson->nodes();
    ticked_.clear();
    planIndex_.assign(nodes_.size(), -1);
    for (std::size_t item = 0; item < nodes_.size(); ++item) {
        if (tree.state(nodes_[item]) != NodeModel::Checked) continue;
        planIndex_[item] = qsizetype(ticked_.size());
        ticked_.push_back(qsizetype(item));
    }
    try {
        plan_ = &session_->decide(ticked_);  // the login names are made when shown
    } catch (const std::exception& e) {
        // A question only the store can answer (which of two departments of one name comes
        // first) that it did not.
        plan_ = nullptr;
        failure_ = QStringLiteral("无法读取数据库: ") + logSafeText(QString::fromUtf8(e.what()));
    }
    publish();
}

void ImportPreviewPlan::show() {
    frame_.setPlanLine(line());
    frame_.CTDeptPerson->nodes().setMarks([this](int node) { return markOf(node); });
}

QString ImportPreviewPlan::line() const {
    if (!plan_ && failure_.isEmpty())
        return QStringLiteral("导入预计: 共 %1 人, 人数较多, 预演时再计算").arg(nodes_.size());
    if (!plan_) return QStringLiteral("导入预计: 无法预计 (%1)").arg(failure_);
    const WindowedImport::Counts& counts = plan_->counts;
    return QStringLiteral(
               "导入预计: 新增 %1 人, 改名后新增 %2 人, 已存在 %3 人, 无法导入 %4 人, "
               "新建部门 %5 个")
        .arg(counts.inserted)
        .arg(counts.renamed)
        .arg(counts.present)
        .arg(counts.notStored)
        .arg(counts.depts);
}

qsizetype ImportPreviewPlan::placeOf(int node) const {
    if (!plan_ || node < 0 || std::size_t(node) >= itemOfNode_.size()) return -1;
    const int item = itemOfNode_[std::size_t(node)];
    if (item < 0 || std::size_t(item) >= planIndex_.size()) return -1;
    const qsizetype place = planIndex_[std::size_t(item)];
    return place < 0 || place >= plan_->results.size() ? -1 : place;
}

QString ImportPreviewPlan::noteOf(int node) const {
    if (!plan_ || node < 0 || std::size_t(node) >= itemOfNode_.size() ||
        itemOfNode_[std::size_t(node)] < 0)
        return {};
    const ImportItem& item = items_.people[itemOfNode_[std::size_t(node)]];
    const qsizetype place = placeOf(node);
    if (place < 0) return QStringLiteral("未选中, 不导入");
    const WindowedImport::Result& result = plan_->results[place];
    const QString where = QStringLiteral("部门: %1 (编码 %2)").arg(item.deptPath, result.deptCode);
    switch (result.outcome) {
        case ItemPlan::Outcome::Inserted:
            return QStringLiteral("新增, 登录名 %1\n%2").arg(session_->loginNameOf(place), where);
        case ItemPlan::Outcome::Renamed:
            return QStringLiteral("改名后新增, 登录名 %1 (%2 已被占用)\n%3")
                .arg(session_->loginNameOf(place), item.person.LoginName, where);
        case ItemPlan::Outcome::Present:
            return QStringLiteral("已存在, 不导入");
        default:
            return QStringLiteral("无法导入: ") + result.reason;
    }
}

QString ImportPreviewPlan::markOf(int node) const {
    const qsizetype place = placeOf(node);
    if (place < 0) return {};
    const WindowedImport::Result& result = plan_->results[place];
    switch (result.outcome) {
        case ItemPlan::Outcome::Present:
            return QStringLiteral("已存在, 不会导入");
        case ItemPlan::Outcome::Inserted:
        case ItemPlan::Outcome::Renamed:
            return {};
        default:
            return QStringLiteral("无法导入: ") + result.reason;
    }
}

ImportPreviewPlan::RowInputs ImportPreviewPlan::rowInputs() const {
    RowInputs inputs;
    inputs.ticked.reserve(qsizetype(ticked_.size()));
    inputs.items.reserve(qsizetype(ticked_.size()));
    for (const qsizetype item : ticked_) {
        heartbeat();
        inputs.ticked.append(persons_[item]);
        ImportItem& kept = inputs.items.emplace_back();
        kept.deptPath = items_.people[item].deptPath;
        kept.person.LoginName = items_.people[item].person.LoginName;
    }
    return inputs;
}

QList<AccountRow> ImportPreviewPlan::accountRows() const {
    if (!plan_) return {};
    if (session_) session_->named();  // the same plan, its login names made
    const RowInputs inputs = rowInputs();
    return AccountOf(inputs.ticked, inputs.items, plan_->results, plan_->stopReason, true);
}

}  // namespace cv
