// Department paths composed in memory: the names of a department's levels from the top down,
// joined by "_", taken from the names of every department read in one statement instead of
// one look-up per level and department.
//
// The levels are those TCVPerson::GetDeptPathName walks: a code of fewer than eight
// characters is one level (the whole code); a longer code has one level per full four
// characters, the last level being the whole code, whatever its length.
#pragma once

#include <QString>
#include <QStringView>
#include <vector>

#include "DataSet.h"
#include "TextKeys.h"
#include "TextRows.h"

namespace cv {

// The statement that reads every department's name.
QString DeptNamesSql();

class DeptPaths {
public:
    // `names`: the rows of DeptNamesSql (DeptID, DeptName). A code answers the name of its
    // first row; a NULL DeptID is no code. Throws DbError when a column is missing.
    explicit DeptPaths(TextRows names);

    // GetDeptPathName's answer for `deptId`: a code without a row has the empty name. The
    // path of each full-level prefix is made once and shared by the paths that pass
    // through it.
    QString pathOf(QStringView deptId);

private:
    struct Code {
        QString name;
        QString path;  // of the code as a prefix of longer ones, once made
        bool hasPath = false;
    };
    using Codes = TextViewMap<Code>;

    Code& codeAt(QStringView code);
    const QString& prefixPath(QStringView code);

    TextRows names_;             // the codes of its rows are keys of codes_, as views
    std::vector<QString> keys_;  // the codes of prefixes without a row, viewed likewise
    Codes codes_;
};

}  // namespace cv
