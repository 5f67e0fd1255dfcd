#include "ImportPlanSession.h"

#include <QHash>
#include <optional>
#include <utility>

#include "Heartbeat.h"
#include "HostServices.h"
#include "LoginNames.h"

namespace cv {

ImportPlanSession::ImportPlanSession(TDM_PersonPack& module, std::span<const ImportItem> people,
                                     std::span<const ImportItem> deptRows)
    : people_(people),
      deptRows_(deptRows),
      limits_(ImportLimits::read(module)),
      image_(StoreImage::read(module)),
      planner_(image_, LoginNameSeed(), host::workingStyle() == 1, StoreDeptQuestions(),
               limits_.refusesAny() ? ImportPlanner::RefusalOf([this](const ImportWrite& write) {
                   return limits_.predictRefusal(write);
               })
                                    : ImportPlanner::RefusalOf()),
      seed_(planner_.seed()),
      base_(image_.mark()) {
    image_.reserve(people.size());
    keys_.reserve(people.size());
    // The department walks that find every level in the image as read, one per path and
    // depth; a walk that would ask the store is left to the plans.
    const bool networked = host::workingStyle() == 1;
    const DeptQuestions none{[](int, const QString&, const QString&) { return std::nullopt; },
                             [](int, const QString&) { return std::nullopt; }};
    QHash<std::pair<QString, qsizetype>, QString> found;
    for (const ImportItem& item : people) {
        heartbeat();
        ImportPlanner::Keys& keys = keys_.emplace_back(ImportPlanner::Keys{
            image_.personKey(item.person.PerUUID), image_.loginKey(item.person.LoginName), {}});
        const qsizetype levels = item.person.PerDept.size() / 4;
        if (levels == 0 || item.deptPath.isEmpty()) continue;
        const std::pair<QString, qsizetype> path{item.deptPath, levels};
        auto walked = found.constFind(path);
        if (walked == found.cend()) {
            const DeptPathPlan walk =
                PlanDeptPath(image_, item.deptPath, item.person.PerDept, networked, none);
            const bool whole =
                walk.end == DeptPathPlan::End::Complete && walk.result && walk.creates.isEmpty();
            walked = found.insert(path, whole ? walk.resolved : QString());
        }
        keys.dept = *walked;
    }
}

const WindowedImport::Plan& ImportPlanSession::plan(const std::vector<qsizetype>& ticked) {
    // The people before the first change keep their plans.
    std::size_t from = 0;
    while (from < ticked.size() && from < ticked_.size() && ticked[from] == ticked_[from]) ++from;
    from = std::min(from, steps_.size());
    if (from < steps_.size()) {
        image_.rewind(steps_[from].before);
        planner_.setSeed(steps_[from].seedBefore);
    } else {
        // Only people added at the end: what the department rows added goes.
        image_.rewind(steps_.empty() ? base_ : steps_.back().after);
        planner_.setSeed(steps_.empty() ? seed_ : steps_.back().seedAfter);
    }
    steps_.resize(from);
    ticked_ = ticked;
    plan_.results.resize(qsizetype(from));
    plan_.stopReason.clear();
    for (const Step& step : steps_)
        if (step.stop) plan_.stopReason = step.stopReason;

    lastPlanned_ = 0;
    for (std::size_t i = from; i < ticked.size(); ++i) {
        Step step;
        step.item = ticked[i];
        step.before = image_.mark();
        step.seedBefore = planner_.seed();
        WindowedImport::Result result;
        result.reached = true;
        if (!plan_.stopReason.isEmpty()) {
            // The import stops at the person whose department walk breaks the store's rules.
            result.reason = QStringLiteral("导入已中止: ") + plan_.stopReason;
        } else {
            heartbeat();  // a progress dialog over the preview counts the people planned
            const ItemPlan decided =
                planner_.plan(people_[std::size_t(step.item)], &keys_[std::size_t(step.item)]);
            ++lastPlanned_;
            step.creates = decided.creates;
            result.outcome = decided.outcome;
            result.reason = decided.reason;
            if (decided.insertPerson) {
                result.loginName = decided.person.LoginName.isNull() ? QStringLiteral("")
                                                                     : decided.person.LoginName;
                result.deptCode = decided.person.PerDept;
            }
            if (decided.outcome == ItemPlan::Outcome::Stop) {
                result.outcome = ItemPlan::Outcome::NotStored;
                step.stop = true;
                step.stopReason = decided.reason;
                plan_.stopReason = decided.reason;
            }
        }
        step.after = image_.mark();
        step.seedAfter = planner_.seed();
        steps_.push_back(std::move(step));
        plan_.results.append(result);
    }

    // Every department row of the package, unless the import would have stopped.
    plan_.creates.clear();
    for (const Step& step : steps_) plan_.creates += step.creates;
    if (plan_.stopReason.isEmpty())
        for (const ImportItem& row : deptRows_) plan_.creates += planner_.plan(row).creates;

    plan_.counts = {};
    for (const WindowedImport::Result& result : plan_.results) {
        switch (result.outcome) {
            case ItemPlan::Outcome::Present:
                ++plan_.counts.present;
                break;
            case ItemPlan::Outcome::Inserted:
                ++plan_.counts.inserted;
                break;
            case ItemPlan::Outcome::Renamed:
                ++plan_.counts.renamed;
                break;
            default:
                ++plan_.counts.notStored;
        }
    }
    plan_.counts.depts = int(plan_.creates.size());
    return plan_;
}

}  // namespace cv
