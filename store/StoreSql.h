// The statements of the person store, in the host database's dialect (Top, Len, Left, max
// over text, lengths compared with quoted numbers). The platform's database layer adapts
// them to the engine; their text stays exactly as the host's servers know it. Every value
// goes through sqlQuote.
#pragma once

#include <QString>

namespace cv::storesql {

QString deptName(const QString& deptId);
QString personByUUID(const QString& perUUID);
QString personByLoginName(const QString& loginName);
// Networked inserts open this to get the table's fields, then append.
QString topPerson();
QString topDept();
// Local person insert: LoginName before UPassword; PrjID as the quoted text '0'.
QString insertPerson(const QString& perUUID, const QString& perName, const QString& perSex,
                     const QString& perMemo, const QString& loginName, const QString& uPassword,
                     const QString& perDept);
// Department of `name` at level `level` (0 = top) under the parent `parentId`, which has
// 4*level characters.
QString deptLookup(int level, const QString& name, const QString& parentId);
// The greatest code at level `level` under `parentId`, as the column DeptId1.
QString deptMaximum(int level, const QString& parentId);
QString insertDept(const QString& deptId, const QString& deptName);

// The text of a decimal number plus one, zero-filled to the length of `digits`; exact for any
// length. Throws StoreError when `digits` is empty or holds anything but the digits 0-9.
QString incrementDecimal(const QString& digits);

}  // namespace cv::storesql
