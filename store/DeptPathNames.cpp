#include "DeptPathNames.h"

namespace cv {

QString DeptNamesSql() { return QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"); }

DeptPaths::DeptPaths(const RowSet& names) {
    const int id = names.indexOf(QStringLiteral("DeptID"));
    const int name = names.indexOf(QStringLiteral("DeptName"));
    if (id < 0 || name < 0) throw DbError("the department names came without DeptID or DeptName");
    keys_.reserve(std::size_t(names.rows.size()));
    codes_.reserve(std::size_t(names.rows.size()));
    for (const Row& row : names.rows) {
        if (row.at(id).isNull()) continue;
        QString code = valueText(row.at(id));
        // The first row of a code stays.
        if (codes_.find(QStringView(code)) != codes_.end()) continue;
        keys_.push_back(std::move(code));
        codes_.emplace(QStringView(keys_.back()), Code{valueText(row.at(name)), {}, false});
    }
}

namespace {

QString joined(const QString& prefix, const QString& name) {
    QString path;
    path.reserve(prefix.size() + 1 + name.size());
    path.append(prefix).append(QLatin1Char('_')).append(name);
    return path;
}

}  // namespace

QString DeptPaths::pathOf(const QString& deptId) {
    const qsizetype levels = deptId.size() / 4;
    const auto own = codes_.find(QStringView(deptId));
    const QString name = own == codes_.end() ? QString() : own->second.name;
    if (levels < 2) return name;
    return joined(prefixPath(QStringView(deptId).first(4 * (levels - 1))), name);
}

// The entry of `code`, made (without a name) for a prefix that has no row.
DeptPaths::Code& DeptPaths::codeAt(QStringView code) {
    if (const auto known = codes_.find(code); known != codes_.end()) return known->second;
    keys_.push_back(code.toString());
    return codes_.emplace(QStringView(keys_.back()), Code{}).first->second;
}

// The path of `code`, a whole number of levels, at least one. The shorter prefixes that have
// no path yet are made first, from the longest one that has (a loop, not a recursion: a code
// may be long).
const QString& DeptPaths::prefixPath(QStringView code) {
    qsizetype from = code.size();  // the prefixes from..size have no path yet
    for (; from >= 4; from -= 4) {
        const auto known = codes_.find(code.first(from));
        if (known != codes_.end() && known->second.hasPath) break;
    }
    const QString* made = from >= 4 ? &codes_.find(code.first(from))->second.path : nullptr;
    for (qsizetype length = std::max<qsizetype>(from + 4, 4); length <= code.size(); length += 4) {
        Code& level = codeAt(code.first(length));
        level.path = made ? joined(*made, level.name) : level.name;
        level.hasPath = true;
        made = &level.path;  // an unordered_map's elements stay where they are
    }
    return *made;
}

}  // namespace cv
