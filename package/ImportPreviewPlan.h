// What the import would do with the people ticked in the import preview, shown before anything
// is written and kept current while the user ticks.
//
// When the preview shows a package, the items of every person node are read from the files it
// showed and the store once (ImportPlanSession); each new set of ticks is planned again once
// control returns to the event loop, from the first person whose tick changed. The plan is
// shown on the frame: a line of counts under the tree, the clicked person's planned outcome
// in the information panel, and the people the import will not store greyed with the reason
// in their tooltip. The host reads it as the frame's "ImportPlan" model (ImportAccount.h),
// rows like the import's own account, made when first asked for.
//
// A package of more than autoPlanLimit() people is planned only when the host first reads the
// model (a dry run): the plan holds the package's items and an image of the store, which at a
// million people would double what the preview holds and take many seconds more to open.
//
// Planning writes nothing: no row, no log line, no number drawn from the login-name
// generator. A plan that cannot be made (the store cannot be read) says why in the line and
// leaves the preview as it was.
#pragma once

#include <QList>
#include <QObject>
#include <memory>
#include <vector>

#include "ImportAccount.h"
#include "ImportItems.h"
#include "WindowedImport.h"

namespace cv {

class ImportPlanSession;
class TFramePerson;
struct PackageFiles;

class ImportPreviewPlan : public QObject {
    Q_OBJECT

public:
    // Plans the import of `files` (the package `frame`'s check tree was built from) for the
    // frame's ticks now and after every change of them. Never throws.
    static void attach(TFramePerson& frame, const PackageFiles& files);
    // The frame's plan; null when it has none.
    static ImportPreviewPlan* of(const QObject& frame);
    // How many people the preview plans as it opens (200,000); tests set it.
    static qsizetype autoPlanLimit();
    static void setAutoPlanLimit(qsizetype people);

    ~ImportPreviewPlan() override;

    // Plans the ticks now at once if they changed since the last plan (the import asks, so that
    // what the host compares its outcome with is the plan of the ticks it imports). A plan
    // left until the host asks, and never asked for, stays unmade: the import does not read
    // the package and the store twice for a plan nobody looks at.
    void settle();
    // The import is about to run: the plan keeps what its model's rows are made of and lets
    // the rest go (the store's image, the items of people not ticked), so that the plan and
    // the import never hold a package and an image each at once. The line stays as it is;
    // the marks go, and later ticks are not planned. When the plan's ticked people are
    // `ticked` (the import's, in its order), their items go to `items`, read as
    // ReadImportItems reads them, and the answer is true; else `items` stays as it was.
    bool release(const QList<TickedPerson>& ticked, ImportItems& items);
    // The line under the tree: "导入预计: 新增 … 人, 改名后新增 … 人, 已存在 … 人, 无法导入
    // … 人, 新建部门 … 个", or why there is no plan.
    QString line() const;
    // The planned outcome of a node's person in plain words; empty for a department.
    QString noteOf(int node) const;
    // What marks a person node in the tree: why the import will not store it; else empty.
    QString markOf(int node) const;

private:
    ImportPreviewPlan(TFramePerson& frame, const PackageFiles& files);
    void ticksChanged();
    bool open();     // reads the package's items and the store once; false when it cannot
    void planNow();  // when the ticks changed since the last plan
    void publish();  // the line and the failure as the model's properties
    void show();     // the line and the marks
    // What the model's rows are made of: of each ticked person its identifier and row, and
    // of its item what AccountOf reads (the department path and the login name).
    struct RowInputs {
        QList<TickedPerson> ticked;
        QList<ImportItem> items;
    };
    RowInputs rowInputs() const;
    QList<AccountRow> accountRows() const;
    // The model's rows when the host reads them: planned first if the ticks changed.
    QList<AccountRow> rowsNow();
    // The place of a node's person in the plan; -1 when it is not planned.
    qsizetype placeOf(int node) const;

    TFramePerson& frame_;
    ImportItems items_;                 // people: one per person node, in list order
    QList<TickedPerson> persons_;       // the same nodes' identifiers and rows
    std::vector<int> nodes_;            // the node of each item
    std::vector<int> itemOfNode_;       // -1 for a department
    std::vector<qsizetype> ticked_;     // the items ticked at the last plan, in order
    std::vector<qsizetype> planIndex_;  // each item's place in the plan, -1 unticked
    std::unique_ptr<ImportPlanSession> session_;
    // The last plan (login names made only when rows are asked for); null when none.
    const WindowedImport::Plan* plan_ = nullptr;
    QString failure_;
    ImportAccount* model_ = nullptr;
    bool stale_ = false;
    bool released_ = false;
    bool deferred_ = false;                // planned only when the host asks
    std::unique_ptr<PackageFiles> files_;  // until the items are read
};

}  // namespace cv
