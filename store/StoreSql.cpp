#include "StoreSql.h"

#include "Database.h"
#include "StoreError.h"

namespace cv::storesql {

QString deptName(const QString& deptId) {
    return QStringLiteral("SELECT DeptName From CV_DeptInfo WHERE DeptID=") + sqlQuote(deptId);
}

QString personByUUID(const QString& perUUID) {
    return QStringLiteral("SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID=") + sqlQuote(perUUID);
}

QString personByLoginName(const QString& loginName) {
    return QStringLiteral("SELECT LoginName FROM CV_PersonInfo WHERE LoginName = ") +
           sqlQuote(loginName);
}

QString topPerson() { return QStringLiteral("Select Top 1 * From CV_PersonInfo"); }

QString topDept() { return QStringLiteral("Select Top 1 * From CV_DeptInfo"); }

QString insertPerson(const QString& perUUID, const QString& perName, const QString& perSex,
                     const QString& perMemo, const QString& loginName, const QString& uPassword,
                     const QString& perDept) {
    const QString sep = QStringLiteral(", ");
    return QStringLiteral(
               "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, "
               "UPassword, PerDept, PrjID) VALUES(") +
           sqlQuote(perUUID) + sep + sqlQuote(perName) + sep + sqlQuote(perSex) + sep +
           sqlQuote(perMemo) + sep + sqlQuote(loginName) + sep + sqlQuote(uPassword) + sep +
           sqlQuote(perDept) + QStringLiteral(", '0')");
}

namespace {

// " and Left(DeptId,'4')='0001' and len(DeptId) ='8'" for level 1 under "0001".
QString underParent(int level, const QString& parentId) {
    return QStringLiteral("Left(DeptId,'") + QString::number(4 * level) + QStringLiteral("')=") +
           sqlQuote(parentId) + QStringLiteral(" and len(DeptId) ='") +
           QString::number(4 * (level + 1)) + QStringLiteral("'");
}

}  // namespace

QString deptLookup(int level, const QString& name, const QString& parentId) {
    QString sql =
        QStringLiteral("SELECT DeptName,DeptID FROM CV_DeptInfo WHERE DeptName=") + sqlQuote(name);
    if (level == 0) return sql + QStringLiteral(" and Len(DeptID)='4'");
    return sql + QStringLiteral(" and ") + underParent(level, parentId);
}

QString deptMaximum(int level, const QString& parentId) {
    const QString sql = QStringLiteral("Select max(DeptId) as DeptId1 from CV_DeptInfo where ");
    if (level == 0) return sql + QStringLiteral("len(DeptId) ='4'");
    return sql + underParent(level, parentId);
}

QString insertDept(const QString& deptId, const QString& deptName) {
    return QStringLiteral("insert into CV_DeptInfo(DeptId,DeptName,DeptMemo) values(") +
           sqlQuote(deptId) + QStringLiteral(",") + sqlQuote(deptName) + QStringLiteral(",") +
           sqlQuote(QString()) + QStringLiteral(")");
}

QString incrementDecimal(const QString& digits) {
    if (digits.isEmpty()) throw StoreError("a department code maximum is empty");
    for (QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            throw StoreError("the department code maximum '" + digits.toStdString() +
                             "' is not a decimal number");
    }
    QString result = digits;
    for (qsizetype i = result.size() - 1; i >= 0; --i) {
        if (result[i] != QLatin1Char('9')) {
            result[i] = QChar(result[i].unicode() + 1);
            return result;
        }
        result[i] = QLatin1Char('0');
    }
    return QLatin1Char('1') + result;
}

}  // namespace cv::storesql
