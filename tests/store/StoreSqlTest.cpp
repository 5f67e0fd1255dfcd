#include <gtest/gtest.h>

#include "StoreError.h"
#include "StoreSql.h"

namespace cv::storesql {
namespace {

// The host's servers know these statements by their text; the dialect stays as it is.
TEST(StoreSqlTest, StatementsKeepTheHostDialectAndDoubleQuotes) {
    const struct {
        QString actual;
        const char* expected;
    } cases[] = {
        {deptName("0001"), "SELECT DeptName From CV_DeptInfo WHERE DeptID='0001'"},
        {personByUUID("a'b"), "SELECT PerUUID FROM CV_PersonInfo WHERE PerUUID='a''b'"},
        {personByLoginName("l"), "SELECT LoginName FROM CV_PersonInfo WHERE LoginName = 'l'"},
        {topPerson(), "Select Top 1 * From CV_PersonInfo"},
        {topDept(), "Select Top 1 * From CV_DeptInfo"},
        {insertPerson("u", "n'", "s", "m", "l", "p", ""),
         "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, PerMemo, LoginName, UPassword, "
         "PerDept, PrjID) VALUES('u', 'n''', 's', 'm', 'l', 'p', '', '0')"},
        {deptLookup(0, "A", ""),
         "SELECT DeptName,DeptID FROM CV_DeptInfo WHERE DeptName='A' and Len(DeptID)='4'"},
        {deptLookup(2, "B'", "00010002"),
         "SELECT DeptName,DeptID FROM CV_DeptInfo WHERE DeptName='B''' and "
         "Left(DeptId,'8')='00010002' and len(DeptId) ='12'"},
        {deptMaximum(0, ""),
         "Select max(DeptId) as DeptId1 from CV_DeptInfo where len(DeptId) ='4'"},
        {deptMaximum(1, "0007"),
         "Select max(DeptId) as DeptId1 from CV_DeptInfo where Left(DeptId,'4')='0007' and "
         "len(DeptId) ='8'"},
        {insertDept("00070013", "N'"),
         "insert into CV_DeptInfo(DeptId,DeptName,DeptMemo) values('00070013','N''','')"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.actual, QString::fromUtf8(c.expected));
}

TEST(StoreSqlTest, IncrementIsExactDecimalOnTheTextKeepingItsLength) {
    const struct {
        const char* from;
        const char* to;
    } cases[] = {
        {"0003", "0004"},
        {"00020009", "00020010"},
        {"0000", "0001"},
        {"9999", "10000"},
        {"999999999999999999999999", "1000000000000000000000000"},
        {"000123456789012345678999", "000123456789012345679000"},
    };
    for (const auto& c : cases) EXPECT_EQ(incrementDecimal(c.from), c.to) << c.from;
    for (const char* bad : {"", "000A", "-001", " 001", "1e3", "٣"})
        EXPECT_THROW(incrementDecimal(QString::fromUtf8(bad)), StoreError) << bad;
}

}  // namespace
}  // namespace cv::storesql
