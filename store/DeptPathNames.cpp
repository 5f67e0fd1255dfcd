#include "DeptPathNames.h"

namespace cv {

QString DeptNamesSql() { return QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"); }

DeptPaths::DeptPaths(const RowSet& names) {
    const int id = names.indexOf(QStringLiteral("DeptID"));
    const int name = names.indexOf(QStringLiteral("DeptName"));
    if (id < 0 || name < 0) throw DbError("the department names came without DeptID or DeptName");
    names_.reserve(names.rows.size());
    // From the last row up, so that the first row of a code is the one left standing, with
    // one look-up per row.
    for (auto row = names.rows.crbegin(); row != names.rows.crend(); ++row) {
        if (row->at(id).isNull()) continue;
        names_.insert(valueText(row->at(id)), valueText(row->at(name)));
    }
}

namespace {

// `text`'s first `size` units as a QString that borrows them: a key to look up without a copy.
QString borrowed(const QString& text, qsizetype size) {
    return QString::fromRawData(text.constData(), size);
}

QString joined(const QString& prefix, const QString& name) {
    QString path;
    path.reserve(prefix.size() + 1 + name.size());
    path.append(prefix).append(QLatin1Char('_')).append(name);
    return path;
}

}  // namespace

QString DeptPaths::pathOf(const QString& deptId) {
    const qsizetype levels = deptId.size() / 4;
    if (levels < 2) return names_.value(deptId);
    return joined(prefixPath(deptId, 4 * (levels - 1)), names_.value(deptId));
}

// The path of `code`'s first `size` units, a whole number of levels, at least one. The
// shorter prefixes that have no path yet are made first, from the longest one that has.
const QString& DeptPaths::prefixPath(const QString& code, qsizetype size) {
    if (const auto known = prefixPaths_.constFind(borrowed(code, size));
        known != prefixPaths_.cend())
        return *known;
    qsizetype from = size;  // the prefixes from..size have no path yet
    while (from > 4 && !prefixPaths_.contains(borrowed(code, from - 4))) from -= 4;
    auto made = prefixPaths_.cend();
    for (qsizetype length = from; length <= size; length += 4) {
        const QString prefix = code.left(length);
        const QString name = names_.value(prefix);
        made = prefixPaths_.insert(
            prefix, length > 4 ? joined(prefixPaths_.value(borrowed(code, length - 4)), name)
                               : name);
    }
    return *made;
}

}  // namespace cv
