#include "DeptPathNames.h"

#include <vector>

namespace cv {

QString DeptNamesSql() { return QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"); }

DeptPaths::DeptPaths(const RowSet& names) {
    const int id = names.indexOf(QStringLiteral("DeptID"));
    const int name = names.indexOf(QStringLiteral("DeptName"));
    if (id < 0 || name < 0) throw DbError("the department names came without DeptID or DeptName");
    names_.reserve(names.rows.size());
    for (const Row& row : names.rows) {
        if (row.at(id).isNull()) continue;
        const QString code = valueText(row.at(id));
        if (!names_.contains(code)) names_.insert(code, valueText(row.at(name)));
    }
}

QString DeptPaths::pathOf(const QString& deptId) {
    const qsizetype levels = deptId.size() / 4;
    if (levels < 2) return names_.value(deptId);
    return prefixPath(deptId.left(4 * (levels - 1))) + QLatin1Char('_') + names_.value(deptId);
}

// `prefix` has a whole number of levels, at least one. The shorter prefixes that have no
// path yet are made first, from the longest one that has.
const QString& DeptPaths::prefixPath(const QString& prefix) {
    if (const auto known = prefixPaths_.constFind(prefix); known != prefixPaths_.cend())
        return *known;
    std::vector<QString> missing{prefix};
    while (missing.back().size() > 4) {
        const QString shorter = missing.back().left(missing.back().size() - 4);
        if (prefixPaths_.contains(shorter)) break;
        missing.push_back(shorter);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const QString& code = *it;
        QString path = names_.value(code);
        if (code.size() > 4) path = prefixPaths_.value(code.left(code.size() - 4)) + '_' + path;
        prefixPaths_.insert(code, path);
    }
    return *prefixPaths_.constFind(prefix);
}

}  // namespace cv
