// The plan of an import kept current while the user ticks: the store is read once, and each
// new set of ticked people is planned again from the first person whose tick changed, the
// people before it keeping their plans. What it plans is what WindowedImport::plan plans (and
// the import then does, on a store that did not change): it writes nothing, logs nothing and
// leaves the login-name generator as it was.
#pragma once

#include <QList>
#include <future>
#include <span>
#include <vector>

#include "ImportLimits.h"
#include "ImportPlanner.h"
#include "StoreImage.h"
#include "WindowedImport.h"

namespace cv {

class TDM_PersonPack;

class ImportPlanSession {
public:
    // Reads the store in the current working style. `people` are the items of every person
    // node the user may tick, `deptRows` the package's department rows; both must outlive the
    // session. Throws DbError when the store cannot be read.
    ImportPlanSession(TDM_PersonPack& module, std::span<const ImportItem> people,
                      std::span<const ImportItem> deptRows);

    // The plan of the people ticked now: indexes into `people`, in the order the import takes
    // them. Planned again from the first index that differs from the last call's.
    const WindowedImport::Plan& plan(const std::vector<qsizetype>& ticked);
    // As plan(), but the login names of the people stored are not made: their results'
    // loginName stays null until named(). For the preview, which on every click shows counts
    // and marks, and a login name only for the person clicked (loginNameOf): making 100,000
    // names is a quarter of a re-plan.
    const WindowedImport::Plan& decide(const std::vector<qsizetype>& ticked);
    // The last plan with every login name made.
    const WindowedImport::Plan& named();
    // The login name the last plan stores its `place`th person with; null for a person not
    // stored.
    QString loginNameOf(qsizetype place) const;

    // How many people the last call planned (the others kept their plans): for tests and
    // benchmarks.
    qsizetype lastPlanned() const { return lastPlanned_; }

private:
    // The login name of the `i`th person planned, when stored.
    QString nameOf(std::size_t i) const;
    static StoreImage readImage(TDM_PersonPack& module, std::span<const ImportItem> people,
                                const ImportLimits& limits, std::vector<ImportPlanner::Keys>& keys,
                                std::future<void>& rowsLetGo);

    std::span<const ImportItem> people_;
    std::vector<ImportPlanner::Keys> keys_;  // of each of people_, taken once
    std::span<const ImportItem> deptRows_;
    ImportLimits limits_;
    std::future<void> rowsLetGo_;  // the rows read, let go on another thread
    StoreImage image_;
    ImportPlanner planner_;
    std::uint32_t seed_;  // the generator's seed when the session began
    StoreImage::Mark base_ = 0;

    // What each planned person left: the image and the seed before it, its result.
    struct Step {
        qsizetype item = 0;
        StoreImage::Mark before = 0;
        std::uint32_t seedBefore = 0;
        StoreImage::Mark after = 0;
        std::uint32_t seedAfter = 0;
        QList<DeptPathPlan::NewDept> creates;
        bool stop = false;  // the import would stop at this person
        QString stopReason;
        int drawn = -1;  // ItemPlan::drawn of a person stored
    };
    std::vector<Step> steps_;
    std::vector<qsizetype> ticked_;
    WindowedImport::Plan plan_;
    qsizetype lastPlanned_ = 0;
    std::size_t named_ = 0;  // the people planned whose results hold their login names
};

}  // namespace cv
