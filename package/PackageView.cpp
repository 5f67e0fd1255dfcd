// The personnel preview: the host's departments and people in a dialog of their own.
#include "FailureLines.h"
#include "PackageOperations.h"
#include "StoreError.h"
#include "TDM_PersonPack.h"
#include "TFrm_PersonView.h"

namespace cv {

std::int32_t PackageView() {
    if (!TDM_PersonPack::PrepareStore()) {
        LogFailure(ViewFailed, StoreUnusableReason());
        return -1;
    }
    const QString unreadable = QStringLiteral("无法从数据库读取部门和人员");
    try {
        if (ShowPersonView()) return 1;
        LogFailure(ViewFailed, unreadable);
    } catch (const DbError& e) {
        LogFailure(ViewFailed, unreadable + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    } catch (const StoreError& e) {
        LogFailure(ViewFailed, unreadable + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    }
    return -1;
}

}  // namespace cv
