// The person store: class-level operations that test, insert and create people and
// departments through the data module (TDM_PersonPack::instance(), which PrepareStore must
// have created). Never instantiated. Every operation reads the working style when it runs:
// 1 networked, anything else local.
//
// Values are quoted through sqlQuote, so a value that holds a single quote is stored and
// compared exactly as given and never ends its literal.
//
// Failures: the operations answer false only for their protected steps (executing,
// applying, re-opening a look-up, a department maximum); any other failure, a database that
// refuses an existence test included, leaves as an exception (DbError, StoreError).
#pragma once

#include <QHash>
#include <QString>
#include <cstdint>

#include "StoreError.h"
#include "TCVPersonInfo.h"

namespace cv {

class TCVPerson {
public:
    TCVPerson() = delete;

    // The DeptName of the department `deptId`, or the empty text when it has none.
    static QString GetDeptName(const QString& deptId);
    // The department path of `deptId`: the names of its levels from the top down, joined by
    // "_". A code of fewer than 8 characters is looked up whole; longer codes add one lookup
    // per further full level of 4 characters. `known`, when given, keeps the names looked up,
    // so that a walk over many departments asks the store for each code once.
    static QString GetDeptPathName(const QString& deptId, QHash<QString, QString>* known = nullptr);

    // True when CV_PersonInfo has a row with this PerUUID.
    static bool PersonExists(const QString& perUUID);
    // True when CV_PersonInfo has a row with this LoginName.
    static bool LoginNameExists(const QString& loginName);
    // Stores the person with PrjID 0 and an empty (not null) text for each empty field.
    // True when the row was stored: false when the database refuses it, locally or through
    // the application server (a refused record counts as a failure).
    static bool InsertPerson(const TCVPersonInfo& person);
    // `loginName` + "_" + a number from 1000 to 9999 that LoginNameExists reports absent,
    // drawn from the library's own generator. Throws LoginNameExhausted when all 9000
    // candidates are taken.
    static QString MakeUniqueLoginName(const QString& loginName);
    // Executes one statement on cmdShare; true when executing raised no failure.
    static bool ExecuteSQL(const QString& sql);

    // Maps a department path ("A_B_C") onto this installation's departments by name, level
    // by level, creating missing ones with new codes. The number of levels walked is the
    // length of `oldCode` divided by 4; its characters are never used. On return
    // ResolvedDeptID() holds the code of the last level completed. False when a protected
    // step fails, when a level has no free code left ("9999" used), or when the application
    // server refuses a new department; departments created before stay. With no level to
    // walk, the local style answers true and the networked style false.
    static bool ResolveDeptPath(const QString& deptPath, const QString& oldCode);
    // The code left by the last ResolveDeptPath; empty at load.
    static const QString& ResolvedDeptID();

    // Puts the login-name generator back to its state at load (seed 0), for tests.
    static void ResetLoginNameGenerator();
};

}  // namespace cv
