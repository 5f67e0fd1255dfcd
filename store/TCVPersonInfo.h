// One person as the import hands it to the person store, in the order the package carries it.
#pragma once

#include <QString>

namespace cv {

struct TCVPersonInfo {
    QString PerUUID;
    QString UPassword;
    QString PerName;
    QString PerSex;
    QString PerMemo;
    QString LoginName;
    QString PerDept;  // department code of this installation; empty for none
};

}  // namespace cv
