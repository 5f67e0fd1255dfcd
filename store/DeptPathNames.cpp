#include "DeptPathNames.h"

#include "Database.h"

namespace cv {

QStringList DeptPathCodes(const QString& deptId) {
    const qsizetype levels = deptId.size() / 4;
    if (levels < 2) return {deptId};
    QStringList codes;
    codes.reserve(levels);
    for (qsizetype k = 1; k < levels; ++k) codes.append(deptId.left(4 * k));
    codes.append(deptId);
    return codes;
}

QString ComposeDeptPath(const QString& deptId, const QHash<QString, QString>& names) {
    const qsizetype levels = deptId.size() / 4;
    if (levels < 2) return names.value(deptId);
    QString path;
    for (qsizetype k = 1; k < levels; ++k) {
        path += names.value(QStringView(deptId).left(4 * k).toString());
        path += QLatin1Char('_');
    }
    return path + names.value(deptId);
}

QString DeptNamesSql(const QStringList& codes) {
    QString sql = QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo WHERE DeptID IN (");
    for (qsizetype i = 0; i < codes.size(); ++i) {
        if (i > 0) sql += QLatin1Char(',');
        sql += sqlQuote(codes[i]);
    }
    return sql + QLatin1Char(')');
}

}  // namespace cv
