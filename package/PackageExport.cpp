// Export: the selection frame over the database tree, and the package of the ticked people.
#include <QDir>
#include <QFileInfo>

#include "ClientDataSet.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostServices.h"
#include "PackageFiles.h"
#include "PackageManifest.h"
#include "PackageOperations.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"

namespace cv {
namespace {

const QString Failed = QStringLiteral(" ");
const QString NothingTicked = QStringLiteral("-2");
const QString NoDirectory = QStringLiteral("-3");

bool saveDataSet(const ClientDataSet& dataset, const QString& path) {
    try {
        dataset.saveToFile(path);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::int32_t PackageExportProc(QWidget* parent) {
    if (!TDM_PersonPack::PrepareStore()) return -1;
    try {
        TFramePerson* frame = CreateRegisteredFrame();
        if (!frame || !frame->LoadFromDatabase()) return -1;
        PlaceFrame(*frame, parent);
        frame->SizePnl->show();
        frame->TvDeptPerson->show();
        frame->PnlImport->show();
        frame->PnlImport->raise();
        frame->SizePnl->setLockBar(true);
        frame->SizePnl->setPanelWidth(200);
        frame->ExpandToLevel(1);
        frame->CTDeptPerson->setStateAll(CheckTree::Checked);
        return 1;
    } catch (...) {
        return -1;
    }
}

QString PackageExport() {
    if (!TDM_PersonPack::PrepareStore()) return Failed;
    // Form 0 doubles the quotes inside each identifier, so it stands between "('" and "')"
    // as a list of exactly the ticked identifiers.
    const QString selection = GetTickedPersons(0);
    if (selection.isEmpty()) return NothingTicked;

    const QString directory = host::packageDirectory() + QStringLiteral("PerInfo/");
    if (!QFileInfo(directory).isDir() && !QDir().mkdir(directory)) return NoDirectory;

    const QString personQuery =
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId) Where CV_PersonInfo.PerUUID in ('" +
        selection + "')";
    const QString deptQuery =
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID in( Select PerDept "
        "From CV_PersonInfo Where PerUUID In ('" +
        selection + "'))";

    TDM_PersonPack& store = *TDM_PersonPack::instance();
    if (!store.FetchRows(store.CdsExportPer, personQuery) ||
        !saveDataSet(store.CdsExportPer, directory + PersonFileName))
        return Failed;
    if (!store.FetchWithDeptPaths(store.CdsExportDept, deptQuery) ||
        !saveDataSet(store.CdsExportDept, directory + DeptFileName))
        return Failed;
    if (!WritePackManifest(directory + ManifestFileName)) return Failed;
    return directory;
}

}  // namespace cv
