// ResolveDeptPath decided against a StoreImage: the same walk level by level, the same
// look-ups answered by the image (or by the store, where only it can answer), the same new
// codes. Nothing is written here: the plan lists the departments to create, in walk order,
// and how the walk ends once they are stored.
#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <optional>

namespace cv {

class StoreImage;

struct DeptPathPlan {
    struct NewDept {
        QString code;
        QString name;
    };
    enum class End {
        Complete,    // every level walked (or none to walk, in the local style)
        NoLevel,     // networked, and the old code has no level of 4 characters
        LevelFull,   // the level's codes run up to 9999: no new code fits
        ReadFailed,  // a look-up that only the store could answer failed
        Error,       // the level's greatest code is not a decimal number (StoreError)
    };

    QList<NewDept> creates;  // to be stored in this order before the walk's result holds
    End end = End::Complete;
    bool result = false;  // what ResolveDeptPath answers once `creates` are stored
    QString resolved;     // ResolvedDeptID then
    QString failedName;   // the name of the level where the walk stopped
    QString error;        // End::Error: the failure's text
};

// The store's own answers where the image has none: the first department row of a look-up
// at `level` (0 = top) and the greatest code of a level, by the store's statements in the
// current working style. Nothing when the statement fails.
struct DeptQuestions {
    std::function<std::optional<QString>(int level, const QString& name, const QString& parent)>
        firstDeptId;
    std::function<std::optional<QString>(int level, const QString& parent)> maximumDeptId;
};

// The questions answered by the store's own look-up and maximum statements, in the current
// working style, on the data module's query datasets (as ResolveDeptPath sends them).
DeptQuestions StoreDeptQuestions();

// Plans the walk of `deptPath` over as many levels as `oldCode` has whole 4-character
// parts, in the networked or the local form.
DeptPathPlan PlanDeptPath(const StoreImage& image, const QString& deptPath, const QString& oldCode,
                          bool networked, const DeptQuestions& ask);

}  // namespace cv
