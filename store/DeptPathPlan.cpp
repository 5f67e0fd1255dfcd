#include "DeptPathPlan.h"

#include "StoreError.h"
#include "StoreImage.h"
#include "StoreSql.h"

namespace cv {

DeptPathPlan PlanDeptPath(const StoreImage& image, const QString& deptPath, const QString& oldCode,
                          bool networked, const DeptQuestions& ask) {
    DeptPathPlan plan;
    const qsizetype levels = oldCode.size() / 4;
    plan.result = !networked;
    if (levels == 0 && networked) plan.end = DeptPathPlan::End::NoLevel;
    // The names are cut from the path one after the other; past its last name each further
    // level's name is null.
    qsizetype from = 0;
    QString parent;
    for (int level = 0; level < levels; ++level) {
        QString name;
        if (from >= 0) {
            const qsizetype split = deptPath.indexOf(QLatin1Char('_'), from);
            name = from == 0 && split < 0 ? deptPath
                                          : deptPath.mid(from, split < 0 ? -1 : split - from);
            from = split < 0 ? -1 : split + 1;
        }
        const auto stop = [&](DeptPathPlan::End end) {
            plan.end = end;
            plan.result = false;
            plan.failedName = name;
            plan.resolved = parent;
            return plan;
        };

        StoreImage::Answer found = image.findDept(parent, name);
        if (found.kind == StoreImage::Answer::AskStore) {
            const auto first = ask.firstDeptId(level, name, parent);
            if (!first) return stop(DeptPathPlan::End::ReadFailed);
            found.code = *first;
        }
        if (found.kind != StoreImage::Answer::None) {
            parent = found.code;
            plan.result = true;
            continue;
        }

        StoreImage::Answer maximum = image.maximumDept(parent);
        if (maximum.kind == StoreImage::Answer::AskStore) {
            const auto asked = ask.maximumDeptId(level, parent);
            if (!asked) return stop(DeptPathPlan::End::ReadFailed);
            // The store knows its own codes; those planned before this walk (not written yet)
            // only the image does.
            maximum.code = std::max(*asked, maximum.code);
        }
        QString code;
        if (maximum.code.isEmpty()) {
            code = parent + QStringLiteral("0001");
        } else {
            try {
                code = storesql::incrementDecimal(maximum.code);
            } catch (const StoreError& e) {
                plan.error = QString::fromStdString(e.what());
                return stop(DeptPathPlan::End::Error);
            }
            if (code.size() != 4 * (level + 1) || !code.startsWith(parent))
                return stop(DeptPathPlan::End::LevelFull);
        }
        plan.creates.append({code, name});
        parent = code;
        plan.result = true;
    }
    plan.resolved = parent;
    return plan;
}

}  // namespace cv
