// The import preview: the selection frame over the tree of a person package.
#include <QWidget>

#include "FailureLines.h"
#include "FrameEmbedding.h"
#include "ImportPreviewPlan.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageOperations.h"
#include "PackageTree.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"

namespace cv {

namespace {
const QString ImportAllMarker = QStringLiteral("@&@");
}

std::int32_t PackageImportProc(const QString& packageArgument, QWidget* parent) {
    if (!TDM_PersonPack::PrepareStore()) {
        LogFailure(PreviewFailed, StoreUnusableReason());
        return -1;
    }
    TFramePerson* frame = CreateRegisteredFrame();
    if (!frame) {
        LogFailure(PreviewFailed, FrameUnavailableReason());
        return -1;
    }
    // The marker asks to import everything: no tick boxes, every node checked. It is
    // recognised only in front of the argument, so a path that merely contains it
    // elsewhere is read unchanged.
    const bool importAll = packageArgument.startsWith(ImportAllMarker);
    const QString package =
        importAll ? packageArgument.sliced(ImportAllMarker.size()) : packageArgument;
    bool loaded = false;
    QString why;
    PackageFiles files;  // an unpacked package's folder held until the plan has read it
    {
        // Each person's row is read, then put in the tree.
        OperationProgress progress(parent ? parent->window() : nullptr,
                                   QStringLiteral("正在读取人员包: %1 人"), 0,
                                   OperationProgress::Cancel::NotOffered);
        progress.countRows(2);
        loaded = frame->LoadFromPackage(package, [&](const QString& p, CheckTree& tree) {
            return BuildPackageTree(p, tree, &why, &files);
        });
        // The import stores only the package whose content this frame shows.
        RecordPreviewedPackage(*frame);
    }
    if (!loaded) {
        LogFailure(PreviewFailed, why);
        return -1;
    }

    PlaceFrame(*frame, parent);
    frame->TvDeptPerson->hide();
    frame->PnlImport->show();
    frame->SizePnl->setLockBar(true);
    if (importAll) frame->CTDeptPerson->removeCheckBoxes();
    frame->ExpandToLevel(1);
    frame->CTDeptPerson->setStateAll(CheckTree::Checked);
    {
        // The package's rows are read again as the import reads them, and the store once.
        OperationProgress progress(parent ? parent->window() : nullptr,
                                   QStringLiteral("正在预计导入结果: %1 行"), 0,
                                   OperationProgress::Cancel::NotOffered);
        progress.countRows(1);
        ImportPreviewPlan::attach(*frame, files);
    }
    return 1;
}

}  // namespace cv
