#include "ImportPlanner.h"

#include "ImportLimits.h"
#include "LoginNames.h"
#include "StoreError.h"

namespace cv {
namespace {

// An empty text stays an empty text: a null QString is stored as ''.
QString stored(const QString& value) { return value.isNull() ? QStringLiteral("") : value; }

QString walkFailure(const DeptPathPlan& walk, const QString& path, const QString& oldCode) {
    switch (walk.end) {
        case DeptPathPlan::End::NoLevel:
            return QStringLiteral("部门编码 \"%1\" 不足 4 位, 无法确定部门").arg(oldCode);
        case DeptPathPlan::End::LevelFull:
            return QStringLiteral("部门 %1 所在的一级已满 (编码已用到 9999), 无法新建部门 %2")
                .arg(path, walk.failedName);
        case DeptPathPlan::End::ReadFailed:
            return QStringLiteral("查找部门 %1 时数据库出错").arg(walk.failedName);
        case DeptPathPlan::End::Error:
        case DeptPathPlan::End::Complete:
            break;
    }
    return {};
}

}  // namespace

QString ItemPlan::renameMessage() const {
    return QStringLiteral("要导入的注册名") + packageLoginName +
           QStringLiteral("已经存在,已经被改为") + person.LoginName;
}

ImportPlanner::ImportPlanner(StoreImage& image, std::uint32_t seed, bool networked,
                             DeptQuestions ask, const ImportLimits* limits)
    : image_(image), seed_(seed), networked_(networked), limits_(limits) {
    ask_.firstDeptId = [this, ask = ask.firstDeptId](int level, const QString& name,
                                                     const QString& parent) {
        ++questions_;
        return ask(level, name, parent);
    };
    ask_.maximumDeptId = [this, ask = ask.maximumDeptId](int level, const QString& parent) {
        ++questions_;
        return ask(level, parent);
    };
}

void ImportPlanner::planDepartments(ItemPlan& plan, const QString& path, const QString& oldCode) {
    const DeptPathPlan walk = PlanDeptPath(image_, path, oldCode, networked_, ask_);
    for (const DeptPathPlan::NewDept& dept : walk.creates) {
        // A department the store will refuse stops the walk there, as its refusal would.
        if (const QString refused =
                limits_ ? limits_->predictRefusal(ImportWrite::dept(dept.code, dept.name))
                        : QString();
            !refused.isEmpty()) {
            plan.beforePerson = image_.mark();
            plan.outcome = ItemPlan::Outcome::NotStored;
            plan.reason = QStringLiteral("部门 %1 未能保存: %2").arg(dept.name, refused);
            return;
        }
        plan.beforeCreate.append(image_.mark());
        image_.addDept(dept.code, dept.name);
        plan.creates.append(dept);
    }
    plan.beforePerson = image_.mark();
    // Where the walk stopped for a name its level lacks (not where the store could not answer,
    // nor where there was no level to walk).
    if (walk.end == DeptPathPlan::End::LevelFull || walk.end == DeptPathPlan::End::Error) {
        plan.stoppedUnder = walk.resolved.isNull() ? QStringLiteral("") : walk.resolved;
        plan.stoppedAt = walk.failedName.isNull() ? QStringLiteral("") : walk.failedName;
    }
    if (walk.end == DeptPathPlan::End::Error) {
        plan.outcome = ItemPlan::Outcome::Stop;
        plan.reason = walk.error;
    } else if (!walk.result) {
        plan.outcome = ItemPlan::Outcome::NotStored;
        plan.reason = walkFailure(walk, path, oldCode);
    } else {
        plan.person.PerDept = walk.resolved;
    }
}

ItemPlan ImportPlanner::plan(const ImportItem& item) {
    if (item.kind == ImportItem::Kind::Person) return planPerson(item, nullptr);
    ItemPlan plan;
    plan.before = plan.beforePerson = image_.mark();
    plan.seedBefore = plan.seedAfter = seed_;
    plan.outcome = ItemPlan::Outcome::Departments;
    planDepartments(plan, item.deptPath, item.deptCode);
    // A department row that fails is passed over, whatever the reason.
    plan.outcome = ItemPlan::Outcome::Departments;
    plan.reason.clear();
    return plan;
}

ImportPlanner::WalkKey ImportPlanner::walkKey(const ImportItem& item) {
    return {item.deptPath.constData(),
            quint64(item.deptPath.size()) << 32 | quint64(item.person.PerDept.size() / 4)};
}

void ImportPlanner::readItem(const ImportItem& item, Keys& keys) {
    keys.unreadable = !item.unreadable.isEmpty();
    keys.noPerUUID = item.person.PerUUID.isNull();
}

ItemPlan ImportPlanner::preview(const ImportItem& item, const Keys& keys) {
    return planPerson(item, &keys);
}

ItemPlan ImportPlanner::planPerson(const ImportItem& item, const Keys* keys) {
    ItemPlan plan;
    plan.before = plan.beforePerson = image_.mark();
    plan.seedBefore = plan.seedAfter = seed_;
    // A preview takes of the person only what it shows, and each text once: copying a text
    // touches its characters' block, and those of 100,000 people lie far apart.
    if (!keys) {
        plan.person = item.person;
        plan.packageLoginName = item.person.LoginName;
    }
    if (keys ? keys->unreadable : !item.unreadable.isEmpty()) {
        plan.reason = item.unreadable;
        return plan;
    }
    if (keys ? image_.hasPerson(keys->person) : image_.hasPerson(item.person.PerUUID)) {
        plan.outcome = ItemPlan::Outcome::Present;
        return plan;
    }
    if (keys ? image_.hasLogin(keys->login) : image_.hasLogin(item.person.LoginName)) {
        plan.loginTaken = true;
        try {
            if (keys) {
                // Candidates asked by their numbers: the name is made by the caller.
                plan.drawn = UniqueLoginNumber(
                    item.person.LoginName,
                    [&](int number) { return image_.hasDrawn(keys->login, number); }, seed_);
            } else {
                plan.person.LoginName = UniqueLoginName(
                    item.person.LoginName, [&](QStringView name) { return image_.hasLogin(name); },
                    seed_);
            }
        } catch (const LoginNameExhausted&) {
            plan.reason = QStringLiteral("注册名 %1 的候选名 %1_1000 至 %1_9999 都已被占用")
                              .arg(item.person.LoginName);
            plan.seedAfter = seed_;
            return plan;
        }
        plan.renameLine = true;
    }
    plan.seedAfter = seed_;

    plan.outcome = plan.renameLine ? ItemPlan::Outcome::Renamed : ItemPlan::Outcome::Inserted;
    if (keys && !keys->dept.isNull()) {
        plan.person.PerDept = keys->dept;  // a code and a path, walked before any plan
    } else if (!item.person.PerDept.isEmpty()) {
        if (item.deptPath.isEmpty()) {
            plan.person.PerDept.clear();  // no path for the code: stored without a department
        } else {
            const WalkKey path = walkKey(item);
            const auto walked = keys ? walked_.constFind(path) : walked_.cend();
            if (walked != walked_.cend()) {
                plan.person.PerDept = *walked;
            } else {
                const quint64 questions = questions_;
                planDepartments(plan, item.deptPath, item.person.PerDept);
                if (plan.outcome == ItemPlan::Outcome::NotStored ||
                    plan.outcome == ItemPlan::Outcome::Stop)
                    return plan;
                if (keys && plan.creates.isEmpty() && plan.stoppedAt.isNull() &&
                    questions == questions_)
                    walked_.insert(path, plan.person.PerDept);
            }
        }
    } else if (keys) {
        plan.person.PerDept = item.person.PerDept;  // empty, or null
    }
    plan.beforePerson = image_.mark();
    if (limits_) {
        QString refused;
        if (!keys) {
            refused = limits_->predictRefusal(ImportWrite::person(plan.person));
        } else if (!keys->packageValuesFit ||
                   !(plan.drawn >= 0 ? keys->drawnFits : keys->loginFits) ||
                   !limits_->personValueFits(ImportWrite::PerDeptColumn, plan.person.PerDept)) {
            // The package's values, its login name as given and as drawn for, were measured
            // once; the department code of this installation is measured here.
            TCVPersonInfo row = item.person;
            if (plan.drawn >= 0) row.LoginName = DrawnLoginName(item.person.LoginName, plan.drawn);
            row.PerDept = plan.person.PerDept;
            refused = limits_->predictRefusal(ImportWrite::person(row));
        }
        if (!refused.isEmpty()) {
            plan.outcome = ItemPlan::Outcome::NotStored;
            plan.reason = refused;
            return plan;
        }
    }
    plan.insertPerson = true;
    if (keys) {
        const StoreImage::Key person = keys->noPerUUID ? -1 : keys->person;
        if (plan.drawn >= 0) {
            image_.addPersonDrawn(person, keys->login, plan.drawn);
        } else {
            image_.addPerson(person, keys->login);
        }
    } else {
        image_.addPerson(plan.person.PerUUID, stored(plan.person.LoginName));
    }
    return plan;
}

}  // namespace cv
