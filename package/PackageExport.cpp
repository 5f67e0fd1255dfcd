// Export: the selection frame over the database tree, and the package of the ticked people.
#include <QDir>
#include <QFileInfo>

#include "ClientDataSet.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostServices.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageManifest.h"
#include "PackageOperations.h"
#include "StagedFile.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TextCodec.h"

namespace cv {
namespace {

const QString Failed = QStringLiteral(" ");
const QString NothingTicked = QStringLiteral("-2");
const QString NoDirectory = QStringLiteral("-3");

void log(const QString& message) {
    try {
        host::writeLog(message);
    } catch (...) {
        // The answer " " stands without the line.
    }
}

// Writes `dataset` into the staged `file`. A row that the reader would refuse is named in the
// host's log by the person (or department) it holds and the field to blame.
bool saveDataSet(const ClientDataSet& dataset, StagedFile& file, bool persons) {
    if (!file.open()) {
        log("人员包未写出: " + logSafeText(file.errorString()));
        return false;
    }
    try {
        dataset.saveToFile(file);
        return true;
    } catch (const DataPacketValueError& e) {
        const RowSet& data = dataset.data();
        const Row& row = data.rows[e.row];
        const auto text = [&](const char* field) {
            const int index = data.indexOf(QString::fromLatin1(field));
            return index < 0 ? QString() : logSafeText(valueText(row[index]));
        };
        const QString who = persons ? "人员未导出: " + text("PerName") + " (PerUUID " +
                                          text("PerUUID") + ")"
                                    : "部门未导出: " + text("DeptName") + " (DeptID " +
                                          text("DeptID") + ")";
        log(who + QStringLiteral(": 字段 %1 的值过长 (这一行写出至少 %2 字节, 一行最多 %3 字节)")
                      .arg(logSafeText(data.fields[e.field].name))
                      .arg(e.bytes)
                      .arg(e.limit));
    } catch (const std::exception& e) {
        log("人员包未写出: " + logSafeText(QString::fromStdString(e.what())));
    }
    file.abandon();
    return false;
}

// The person rows go from the statement straight into the file where the store can stream
// them, otherwise through the dataset.
bool writePersons(TDM_PersonPack& store, const QString& sql, StagedFile& file) {
    if (!file.open()) {
        log("人员包未写出: " + logSafeText(file.errorString()));
        return false;
    }
    try {
        if (store.StreamRows(sql, file)) return true;
    } catch (const std::exception& e) {
        log("人员包未写出: " + logSafeText(QString::fromStdString(e.what())));
        file.abandon();
        return false;
    }
    file.abandon();
    return store.FetchRows(store.CdsExportPer, sql) && saveDataSet(store.CdsExportPer, file, true);
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
    // as a list of exactly the ticked identifiers; sorted, each once, where the store's engine
    // gives the same rows in the same order for it.
    TDM_PersonPack& store = *TDM_PersonPack::instance();
    const QString selection =
        store.sortsSelection() ? GetSortedTickedPersons(0) : GetTickedPersons(0);
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

    // The three files are staged beside their targets and put in place together only once all
    // of them are written whole: a failure at any byte leaves an earlier package as it was.
    StagedFile personFile(directory + PersonFileName);
    StagedFile deptFile(directory + DeptFileName);
    StagedFile manifest(directory + ManifestFileName);
    // Each person's row is read, then written (the few department rows go by as well). The
    // total is the identifiers in the list (quotes inside are doubled): the ticked people.
    OperationProgress progress(HostWindowOfFrame(), QStringLiteral("正在写出人员包: %1 / %2 人"),
                               selection.count(QStringLiteral("','")) + 1,
                               OperationProgress::Cancel::NotOffered);
    progress.countRows(2);
    if (!writePersons(store, personQuery, personFile)) return Failed;
    if (!store.FetchWithDeptPaths(store.CdsExportDept, deptQuery) ||
        !saveDataSet(store.CdsExportDept, deptFile, false))
        return Failed;
    if (!manifest.open() || !WritePackManifest(manifest)) {
        log("人员包未写出: " + logSafeText(manifest.errorString()));
        return Failed;
    }
    QString error;
    StagedFile* const files[] = {&personFile, &deptFile, &manifest};
    if (!commitTogether(files, &error)) {
        log("人员包未写出: " + logSafeText(error));
        return Failed;
    }
    return directory;
}

}  // namespace cv
