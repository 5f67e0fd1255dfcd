#include "StoreTest.h"

namespace cv::test {
namespace {

class DeptPathTest : public StoreTest {};
CV_BOTH_STYLES(DeptPathTest);

const QString kEight = "abcdefgh";  // an old code of two levels; its characters never matter

TEST_P(DeptPathTest, MissingLevelsAreCreatedOnceAndFoundAgain) {
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("总部_财务", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00010001");
    const QStringList created{"0001|总部|", "00010001|财务|"};
    EXPECT_EQ(depts(), created);

    ASSERT_TRUE(TCVPerson::ResolveDeptPath("总部_财务", "00070003"));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00010001");
    EXPECT_EQ(depts(), created);
}

TEST_P(DeptPathTest, NewCodeFollowsTheGreatestCodeOfTheLevelUnderTheParent) {
    for (const char* code :
         {"0003", "0007", "0008", "00070003", "00070012", "000700120005", "00080099"})
        addDept(code, "D" + QString(code));
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("D0007_New", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00070013");
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("Top", "1234"));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "0009");
}

TEST_P(DeptPathTest, OldCodeLengthSetsTheLevelsAndUnderscoresSplitNames) {
    const struct {
        const char* path;
        const char* oldCode;
        const char* resolved;
    } cases[] = {
        {"A_B_C", "12345678", "00010001"},           // C is beyond the two levels
        {"A", "123456789012", "000100020001"},       // empty names below A
        {"A_B", "123456789012", "000100010001"},     // an empty name under B
        {"X_Y", "1234", "0002"},                     // only X: the "_" splits the name
        {"A_B_C", "1234567890123", "000100010002"},  // 13 characters: three levels
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(TCVPerson::ResolveDeptPath(c.path, c.oldCode)) << c.path;
        EXPECT_EQ(TCVPerson::ResolvedDeptID(), c.resolved) << c.path;
    }
    EXPECT_EQ(depts(), QStringList({"0001|A|", "00010001|B|", "000100010001||", "000100010002|C|",
                                    "00010002||", "000100020001||", "0002|X|"}));
}

TEST_P(DeptPathTest, ANameUnderAnotherParentIsNotTaken) {
    addDept("0001", "P");
    addDept("0002", "Q");
    addDept("00020001", "Kid");
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("P_Kid", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00010001");
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("Kid", "0000"));  // not a top-level department
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "0003");
}

TEST_P(DeptPathTest, NoLevelToWalkIsTrueLocallyAndFalseNetworked) {
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("A", "1234"));
    for (const char* oldCode : {"", "123"}) {
        EXPECT_EQ(TCVPerson::ResolveDeptPath("A", oldCode), !networked()) << oldCode;
        EXPECT_EQ(TCVPerson::ResolvedDeptID(), "");
    }
    EXPECT_EQ(depts().size(), 1);
}

TEST_P(DeptPathTest, QuotesInNamesAreStoredAndFoundExactly) {
    const QString path = "O'Neil_R'D' OR '1'='1";
    ASSERT_TRUE(TCVPerson::ResolveDeptPath(path, kEight));
    ASSERT_TRUE(TCVPerson::ResolveDeptPath(path, kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00010001");
    EXPECT_EQ(depts(), QStringList({"0001|O'Neil|", "00010001|R'D' OR '1'='1|"}));
}

TEST_P(DeptPathTest, AFullLevelFailsWithoutInsertingAnything) {
    addDept("0005", "E");
    addDept("00059999", "Last");
    addDept("9999", "Z");
    const QStringList before = depts();
    EXPECT_FALSE(TCVPerson::ResolveDeptPath("E_New", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "0005");
    EXPECT_FALSE(TCVPerson::ResolveDeptPath("New", "1234"));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "");
    EXPECT_EQ(depts(), before);
    // What exists on a full level is still found.
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("E_Last", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00059999");
}

TEST_P(DeptPathTest, ARefusedDepartmentFailsAndItsCodeIsNotReported) {
    installation().refuseInserts("CV_DeptInfo", "NEW.DeptName = 'Refused'");
    EXPECT_FALSE(TCVPerson::ResolveDeptPath("A_Refused_C", "123456789012"));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "0001");
    EXPECT_EQ(depts(), QStringList({"0001|A|"}));
    ASSERT_TRUE(TCVPerson::ResolveDeptPath("A_Fine", kEight));
    EXPECT_EQ(TCVPerson::ResolvedDeptID(), "00010001");
}

TEST_P(DeptPathTest, AMaximumThatIsNotANumberThrows) {
    addDept("000A", "Odd");
    EXPECT_THROW(TCVPerson::ResolveDeptPath("New", "1234"), StoreError);
    EXPECT_EQ(depts().size(), 1);
}

}  // namespace
}  // namespace cv::test
