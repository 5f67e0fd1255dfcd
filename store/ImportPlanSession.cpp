#include "ImportPlanSession.h"

#include <QHash>
#include <future>
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
      image_(readImage(module, people, limits_, keys_, rowsLetGo_)),
      planner_(image_, LoginNameSeed(), host::workingStyle() == 1, StoreDeptQuestions(),
               limits_.refusesAny() ? &limits_ : nullptr),
      seed_(planner_.seed()),
      base_(image_.mark()) {}

namespace {

// The department walks that find every level in the image as read, one per path and depth,
// into each person's keys; a walk that would ask the store is left to the plans.
void walkWholePaths(const StoreImage& depts, std::span<const ImportItem> people,
                    std::vector<ImportPlanner::Keys>& keys, bool networked) {
    const DeptQuestions none{[](int, const QString&, const QString&) { return std::nullopt; },
                             [](int, const QString&) { return std::nullopt; }};
    QHash<ImportPlanner::WalkKey, QString> found;
    for (std::size_t i = 0; i < people.size(); ++i) {
        heartbeat();  // on the thread that shows the progress
        const ImportItem& item = people[i];
        if (item.person.PerDept.size() < 4 || item.deptPath.isEmpty()) continue;
        const ImportPlanner::WalkKey path = ImportPlanner::walkKey(item);
        auto walked = found.constFind(path);
        if (walked == found.cend()) {
            const DeptPathPlan walk =
                PlanDeptPath(depts, item.deptPath, item.person.PerDept, networked, none);
            const bool whole =
                walk.end == DeptPathPlan::End::Complete && walk.result && walk.creates.isEmpty();
            walked = found.insert(path, whole ? walk.resolved : QString());
        }
        keys[i].dept = *walked;
    }
}

// The numbers of the people's PerUUIDs and login names, whether the values stored as the
// package gives them fit, and what the decisions read of each item, into each one's keys.
void numberTexts(StoreImage::Asked& texts, std::span<const ImportItem> people,
                 const ImportLimits& limits, std::vector<ImportPlanner::Keys>& keys) {
    keys.resize(people.size());
    const qsizetype count = qsizetype(people.size());
    texts.people(
        count, [&](qsizetype i) { return QStringView(people[std::size_t(i)].person.PerUUID); },
        [&](qsizetype i, StoreImage::Key key) { keys[std::size_t(i)].person = key; });
    texts.logins(
        count, [&](qsizetype i) { return QStringView(people[std::size_t(i)].person.LoginName); },
        [&](qsizetype i, StoreImage::Key key) { keys[std::size_t(i)].login = key; });
    const bool measured = limits.refusesAny();
    for (std::size_t i = 0; i < people.size(); ++i) {
        ImportPlanner::Keys& key = keys[i];
        ImportPlanner::readItem(people[i], key);
        const TCVPersonInfo& person = people[i].person;
        key.packageValuesFit = !measured || limits.packageValuesFit(person);
        key.loginFits =
            !measured || limits.personValueFits(ImportWrite::LoginNameColumn, person.LoginName);
        key.drawnFits =
            !measured || limits.personValueFits(ImportWrite::LoginNameColumn, person.LoginName, 5);
    }
}

}  // namespace

StoreImage ImportPlanSession::readImage(TDM_PersonPack& module, std::span<const ImportItem> people,
                                        const ImportLimits& limits,
                                        std::vector<ImportPlanner::Keys>& keys,
                                        std::future<void>& rowsLetGo) {
    // Two threads share the work; on PostgreSQL the server takes a core of its own while it
    // answers. This one asks the store for its departments, then for its people, then finds
    // the people's PerUUIDs among the package's and walks the package's department paths.
    // The other one numbers the package's texts meanwhile and makes the image of the
    // departments, then finds the people's login names among the package's.
    const bool networked = host::workingStyle() == 1;
    StoreImage::Asked texts;
    StoreImage depts;
    StoreImage::Rows rows;
    std::promise<void> numbered;
    std::future<void> textsNumbered = numbered.get_future();
    std::promise<void> deptsMade;
    std::future<void> deptImage = deptsMade.get_future();
    std::promise<void> deptsRead;
    std::promise<void> peopleRead;
    std::future<void> other = std::async(
        std::launch::async,
        [&, deptsReady = deptsRead.get_future(), peopleReady = peopleRead.get_future()]() mutable {
            // What this thread is waited for with is kept, or broken with why.
            const auto keep = [](std::promise<void>& promise, const auto& work) {
                try {
                    work();
                    promise.set_value();
                } catch (...) {
                    promise.set_exception(std::current_exception());
                    throw;
                }
            };
            keep(numbered, [&] { numberTexts(texts, people, limits, keys); });
            keep(deptsMade, [&] {
                deptsReady.get();  // throws what the store's answer threw
                depts = StoreImage::fromRows({}, rows.depts);
            });
            peopleReady.get();
            texts.findLogins(rows.people);
        });
    int kept = 0;  // promises kept: the departments read, then the people
    try {
        rows.depts = StoreImage::fetchDepts(module);
        deptsRead.set_value();
        ++kept;
        rows.people = StoreImage::fetchPeople(module);
        peopleRead.set_value();
        ++kept;
        waitBeating(textsNumbered);
        textsNumbered.get();
        texts.findPeople(rows.people);
        waitBeating(deptImage);
        deptImage.get();
        walkWholePaths(depts, people, keys, networked);
        waitBeating(other);
    } catch (...) {
        // The other thread uses what is about to go: it is told why, and waited for.
        if (kept < 1) deptsRead.set_exception(std::current_exception());
        if (kept < 2) peopleRead.set_exception(std::current_exception());
        other.wait();
        throw;
    }
    other.get();
    // 200,000 values of the rows read go on the other core while the plan is made: the
    // session waits for it when it goes.
    rowsLetGo = std::async(std::launch::async, [rows = std::move(rows)]() mutable { rows = {}; });
    return StoreImage::fromParts(std::move(depts), std::move(texts));
}

QString ImportPlanSession::nameOf(std::size_t i) const {
    const WindowedImport::Result& result = plan_.results[qsizetype(i)];
    if (result.outcome != ItemPlan::Outcome::Inserted &&
        result.outcome != ItemPlan::Outcome::Renamed)
        return {};
    const QString& name = people_[std::size_t(steps_[i].item)].person.LoginName;
    if (steps_[i].drawn >= 0) return DrawnLoginName(name, steps_[i].drawn);
    return name.isNull() ? QStringLiteral("") : name;  // stored as ''
}

QString ImportPlanSession::loginNameOf(qsizetype place) const {
    if (place < 0 || std::size_t(place) >= steps_.size()) return {};
    return std::size_t(place) < named_ ? plan_.results[place].loginName
                                       : nameOf(std::size_t(place));
}

const WindowedImport::Plan& ImportPlanSession::named() {
    // Apart from the decisions, in a loop of its own: the login names of 100,000 people lie
    // far apart, and so do their items. Each item is read 16 people ahead of its name being
    // made, and the name's characters and header 8 ahead, so that the misses overlap (in
    // the loop of the decisions, they followed one another).
    constexpr std::size_t Ahead = 8;
    const auto loginOf = [&](std::size_t i) -> const QString& {
        return people_[std::size_t(steps_[i].item)].person.LoginName;
    };
    for (std::size_t i = named_; i < steps_.size(); ++i) {
        if (i + 2 * Ahead < steps_.size()) __builtin_prefetch(&loginOf(i + 2 * Ahead));
        if (i + Ahead < steps_.size()) {
            const QChar* ahead = loginOf(i + Ahead).constData();
            __builtin_prefetch(ahead);
            __builtin_prefetch(reinterpret_cast<const char*>(ahead) - 32, 1);
        }
        heartbeat();
        plan_.results[qsizetype(i)].loginName = nameOf(i);
    }
    named_ = steps_.size();
    return plan_;
}

const WindowedImport::Plan& ImportPlanSession::plan(const std::vector<qsizetype>& ticked) {
    decide(ticked);
    return named();
}

const WindowedImport::Plan& ImportPlanSession::decide(const std::vector<qsizetype>& ticked) {
    // The people before the first change keep their plans.
    std::size_t from = 0;
    while (from < ticked.size() && from < ticked_.size() && ticked[from] == ticked_[from]) ++from;
    from = std::min(from, steps_.size());
    planner_.forgetWalks();
    if (from < steps_.size()) {
        image_.rewind(steps_[from].before);
        planner_.setSeed(steps_[from].seedBefore);
    } else {
        // Only people added at the end: what the department rows added goes.
        image_.rewind(steps_.empty() ? base_ : steps_.back().after);
        planner_.setSeed(steps_.empty() ? seed_ : steps_.back().seedAfter);
    }
    steps_.resize(from);
    named_ = std::min(named_, from);
    ticked_ = ticked;
    plan_.results.resize(qsizetype(from));
    plan_.stopReason.clear();
    for (const Step& step : steps_)
        if (step.stop) plan_.stopReason = step.stopReason;

    lastPlanned_ = 0;
    steps_.reserve(ticked.size());
    plan_.results.reserve(qsizetype(ticked.size()));
    for (std::size_t i = from; i < ticked.size(); ++i) {
        // A person's department code is shared with the others of its department; the 5,000
        // codes of an installation lie apart, and each copy counts itself in the code's header.
        if (i + 8 < ticked.size())
            if (const QChar* code = keys_[std::size_t(ticked[i + 8])].dept.constData())
                __builtin_prefetch(reinterpret_cast<const char*>(code) - 16, 1);
        Step& step = steps_.emplace_back();
        step.item = ticked[i];
        step.before = image_.mark();
        step.seedBefore = planner_.seed();
        WindowedImport::Result& result = plan_.results.emplace_back();
        result.reached = true;
        if (!plan_.stopReason.isEmpty()) {
            // The import stops at the person whose department walk breaks the store's rules.
            result.reason = QStringLiteral("导入已中止: ") + plan_.stopReason;
        } else {
            heartbeat();  // a progress dialog over the preview counts the people planned
            ItemPlan decided =
                planner_.preview(people_[std::size_t(step.item)], keys_[std::size_t(step.item)]);
            ++lastPlanned_;
            step.creates = std::move(decided.creates);
            result.outcome = decided.outcome;
            result.reason = std::move(decided.reason);
            if (decided.insertPerson) {
                step.drawn = decided.drawn;
                result.deptCode = std::move(decided.person.PerDept);
            }
            if (decided.outcome == ItemPlan::Outcome::Stop) {
                result.outcome = ItemPlan::Outcome::NotStored;
                step.stop = true;
                step.stopReason = result.reason;
                plan_.stopReason = result.reason;
            }
        }
        step.after = image_.mark();
        step.seedAfter = planner_.seed();
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
