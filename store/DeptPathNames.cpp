#include "DeptPathNames.h"

#include <algorithm>

namespace cv {

QString DeptNamesSql() { return QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"); }

DeptPaths::DeptPaths(TextRows names) : names_(std::move(names)) {
    const int id = names_.indexOf(QStringLiteral("DeptID"));
    const int name = names_.indexOf(QStringLiteral("DeptName"));
    if (id < 0 || name < 0) throw DbError("the department names came without DeptID or DeptName");
    codes_.reserve(std::size_t(names_.size()));
    // The first row of a code stays.
    for (qsizetype row = 0; row < names_.size(); ++row) {
        if (!names_.isNull(row, id)) {
            codes_.try_emplace(QStringView(names_.text(row, id)),
                               Code{names_.text(row, name), {}, false});
        }
    }
}

namespace {

QString joined(const QString& prefix, const QString& name) {
    QString path(prefix.size() + 1 + name.size(), Qt::Uninitialized);
    QChar* out = std::copy(prefix.cbegin(), prefix.cend(), path.data());
    *out++ = QLatin1Char('_');
    std::copy(name.cbegin(), name.cend(), out);
    return path;
}

}  // namespace

QString DeptPaths::pathOf(QStringView deptId) {
    const qsizetype levels = deptId.size() / 4;
    const auto own = codes_.find(deptId);
    const QString name = own == codes_.end() ? QString() : own->second.name;
    if (levels < 2) return name;
    return joined(prefixPath(deptId.first(4 * (levels - 1))), name);
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
