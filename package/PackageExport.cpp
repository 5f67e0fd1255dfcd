// Export: the selection frame over the database tree, and the package of the ticked people.
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>

#include "ClientDataSet.h"
#include "DataPacket.h"
#include "FailureLines.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostServices.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageManifest.h"
#include "PackageOperations.h"
#include "PackageSwap.h"
#include "StagedFile.h"
#include "StoreError.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TextCodec.h"

namespace cv {
namespace {

const QString Failed = QStringLiteral(" ");
const QString NothingTicked = QStringLiteral("-2");
const QString NoDirectory = QStringLiteral("-3");

void log(const QString& reason) { LogFailure(ExportFailed, reason); }

// Why a fetch of `sql` answered false: the store stopped answering, or refused the statement.
// The fetch keeps the store's words to itself; the statement's first row is asked for once
// more to hear them.
QString fetchFailure(TDM_PersonPack& store, const QString& what, const QString& sql) {
    if (!TDM_PersonPack::PrepareStore())
        return QStringLiteral("读取%1时").arg(what) + StoreUnusableReason();
    const QString refused = QStringLiteral("数据库拒绝了读取%1的语句").arg(what);
    try {
        store.IsEmptyResult(QString(sql).replace(
            QRegularExpression("^SELECT ", QRegularExpression::CaseInsensitiveOption),
            QStringLiteral("SELECT Top 1 ")));
    } catch (const std::exception& e) {
        return refused + ": " + QString::fromUtf8(e.what());
    }
    return refused;
}

// Writes `dataset` into the staged `file`. A row that the reader would refuse is named by the
// person (or department) it holds and the field to blame.
bool saveDataSet(const ClientDataSet& dataset, StagedFile& file, bool persons) {
    if (!file.open()) {
        log(file.errorString());
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
        const QString who = persons
                                ? "人员 " + text("PerName") + " (PerUUID " + text("PerUUID") + ")"
                                : "部门 " + text("DeptName") + " (DeptID " + text("DeptID") + ")";
        log(who + QStringLiteral(" 的字段 %1 的值过长 (这一行写出至少 %2 字节, 一行最多 %3 字节)")
                      .arg(logSafeText(data.fields[e.field].name))
                      .arg(e.bytes)
                      .arg(e.limit));
    } catch (const std::exception& e) {
        log(QString::fromUtf8(e.what()));
    }
    file.abandon();
    return false;
}

// The person rows go from the statement straight into the file where the store can stream
// them, otherwise through the dataset.
bool writePersons(TDM_PersonPack& store, const QString& sql, StagedFile& file) {
    if (!file.open()) {
        log(file.errorString());
        return false;
    }
    try {
        if (store.StreamRows(sql, file)) return true;
    } catch (const std::exception& e) {
        log(QString::fromUtf8(e.what()));
        file.abandon();
        return false;
    }
    file.abandon();
    if (!store.FetchRows(store.CdsExportPer, sql)) {
        log(fetchFailure(store, QStringLiteral("人员"), sql));
        return false;
    }
    return saveDataSet(store.CdsExportPer, file, true);
}

// The number of identifiers in a selection of form 0: items joined by "','", each item's
// quotes doubled, so a separator's comma is the one after an odd run of quotes.
qsizetype listedIdentifiers(const QString& selection) {
    qsizetype items = 1;
    qsizetype quotes = 0;
    for (const QChar c : selection) {
        if (c == u'\'') {
            ++quotes;
            continue;
        }
        if (c == u',' && quotes % 2 == 1) ++items;
        quotes = 0;
    }
    return items;
}

// Whether the person file of `people` people fits into one data packet; when not, the
// refusal names how many people one package holds, so that the user can export in parts.
// The person file's fields are asked of the store (a statement without rows) only when the
// people could be too many for the widest table a packet takes.
bool fitsOnePackage(TDM_PersonPack& store, qsizetype people) {
    const DataPacketLimits limits;
    if (people <= std::min(limits.maxRows, limits.maxCells / limits.maxFields)) return true;
    const QString fieldsOnly = QStringLiteral(
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId) Where 1=0");
    if (!store.FetchRows(store.CdsExportPer, fieldsOnly)) {
        log(fetchFailure(store, QStringLiteral("人员表的字段"), fieldsOnly));
        return false;
    }
    const qsizetype fields = std::max<qsizetype>(1, store.CdsExportPer.data().fields.size());
    store.CdsExportPer.close();
    const qsizetype most = std::min(limits.maxRows, limits.maxCells / fields);
    if (people <= most) return true;
    log(QStringLiteral("选中了 %1 人, 一个人员包最多容纳 %2 人 (人员文件每人 %3 个字段, 一个数据包"
                       "最多 %4 行, %5 个值); 请分几次导出, 每次不超过 %2 人")
            .arg(people)
            .arg(most)
            .arg(fields)
            .arg(limits.maxRows)
            .arg(limits.maxCells));
    return false;
}

// An export's own mark, written into both dataset files.
QString newExportMark() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

QString writePackage() {
    if (!TDM_PersonPack::PrepareStore()) {
        log(StoreUnusableReason());
        return Failed;
    }
    // Form 0 doubles the quotes inside each identifier, so it stands between "('" and "')"
    // as a list of exactly the ticked identifiers; sorted, each once, where the store's engine
    // gives the same rows in the same order for it.
    TDM_PersonPack& store = *TDM_PersonPack::instance();
    const QString selection =
        store.sortsSelection() ? GetSortedTickedPersons(0) : GetTickedPersons(0);
    if (selection.isEmpty()) return NothingTicked;
    const qsizetype people = listedIdentifiers(selection);
    if (!fitsOnePackage(store, people)) return Failed;

    const QString directory = host::packageDirectory() + QStringLiteral("PerInfo/");
    PackageSwap swap;
    switch (swap.open(directory)) {
        case PackageSwap::Opened::Ready:
            break;
        case PackageSwap::Opened::NoDirectory:
            log(swap.errorString());
            return NoDirectory;
        case PackageSwap::Opened::Failed:
            log(swap.errorString());
            return Failed;
    }

    const QString personQuery =
        "SELECT * From CV_PersonInfo Left Join CV_DeptInfo On (CV_PersonInfo.PerDept = "
        "CV_DeptInfo.DeptId) Where CV_PersonInfo.PerUUID in ('" +
        selection + "')";
    const QString deptQuery =
        "SELECT DeptID, DeptName, DeptMemo FROM CV_DeptInfo WHERE DeptID in( Select PerDept "
        "From CV_PersonInfo Where PerUUID In ('" +
        selection + "'))";

    // The three files are written whole into a folder of their own, each checked and synced,
    // and put in place together: a failure at any byte leaves the earlier package as it was.
    StagedFile personFile(swap.folder() + PersonFileName);
    StagedFile deptFile(swap.folder() + DeptFileName);
    StagedFile manifest(swap.folder() + ManifestFileName);
    // Each person's row is read, then written (the few department rows go by as well).
    OperationProgress progress(HostWindowOfFrame(), QStringLiteral("正在写出人员包: %1 / %2 人"),
                               people, OperationProgress::Cancel::NotOffered);
    progress.countRows(2);
    if (!writePersons(store, personQuery, personFile)) return Failed;
    if (!store.FetchWithDeptPaths(store.CdsExportDept, deptQuery)) {
        log(fetchFailure(store, QStringLiteral("部门"), deptQuery));
        return Failed;
    }
    if (!saveDataSet(store.CdsExportDept, deptFile, false)) return Failed;
    // The two dataset files tell a reader that they belong together.
    const QString mark = newExportMark();
    for (StagedFile* file : {&personFile, &deptFile}) {
        if (!appendDataPacketMark(*file, mark)) {
            log(file->errorString());
            return Failed;
        }
    }
    if (!manifest.open() || !WritePackManifest(manifest)) {
        log(manifest.errorString().isEmpty() ? QStringLiteral("无法写出清单 ") + ManifestFileName
                                             : manifest.errorString());
        return Failed;
    }
    QString error;
    StagedFile* const files[] = {&personFile, &deptFile, &manifest};
    if (!commitTogether(files, &error)) {
        log(error);
        return Failed;
    }
    if (!swap.commit({PersonFileName, DeptFileName, ManifestFileName})) {
        log(swap.errorString());
        return Failed;
    }
    return directory;
}

}  // namespace

std::int32_t PackageExportProc(QWidget* parent) {
    if (!TDM_PersonPack::PrepareStore()) {
        LogFailure(SelectionFailed, StoreUnusableReason());
        return -1;
    }
    try {
        TFramePerson* frame = CreateRegisteredFrame();
        if (!frame) {
            LogFailure(SelectionFailed, FrameUnavailableReason());
            return -1;
        }
        if (!frame->LoadFromDatabase()) {
            LogFailure(SelectionFailed, QStringLiteral("无法从数据库读取部门和人员"));
            return -1;
        }
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
    } catch (const DbError& e) {
        LogFailure(SelectionFailed,
                   QStringLiteral("无法从数据库读取部门和人员: ") + QString::fromUtf8(e.what()));
        return -1;
    } catch (const StoreError& e) {
        LogFailure(SelectionFailed,
                   QStringLiteral("无法从数据库读取部门和人员: ") + QString::fromUtf8(e.what()));
        return -1;
    }
}

QString PackageExport() { return writePackage(); }

}  // namespace cv
