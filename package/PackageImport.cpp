// Import: the ticked people of a person package into this installation's store.
//
// The package is read whole before anything is stored; then the ticked people, and after
// them every department row of the package, go through WindowedImport: decided against one
// read of the store by the person store's rules, written window by window under the import
// lock, each window's decisions checked against the store first.
//
// Every ticked person is accounted for: in the host's log (a line for each one not stored,
// after any rename line, and a summary whose counts sum to the ticked people), and in the
// "ImportAccount" model the frame carries until it is freed. Every failure answer leaves one
// line saying why.
#include <QFile>
#include <QWidget>
#include <algorithm>
#include <optional>
#include <span>

#include "FailureLines.h"
#include "FrameEmbedding.h"
#include "GetTickedPersons.h"
#include "HostContext.h"
#include "HostServices.h"
#include "ImportAccount.h"
#include "ImportItems.h"
#include "ImportPreviewPlan.h"
#include "OperationProgress.h"
#include "PackageFiles.h"
#include "PackageOperations.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"
#include "TextCodec.h"
#include "WindowedImport.h"

namespace cv {
namespace {

constexpr std::int32_t Done = 1;
constexpr std::int32_t Failed = -1;
constexpr std::int32_t NothingTicked = -2;

// Deletes the dataset files that the import located, however it ends: in the version-3 case
// these are the package directory's own files.
class DeleteFilesOnExit {
public:
    DeleteFilesOnExit() = default;
    DeleteFilesOnExit(const DeleteFilesOnExit&) = delete;
    DeleteFilesOnExit& operator=(const DeleteFilesOnExit&) = delete;
    ~DeleteFilesOnExit() {
        for (const QString& path : paths_) QFile::remove(path);
    }
    void add(const QString& path) { paths_ << path; }
    void keep() { paths_.clear(); }

private:
    QStringList paths_;
};

std::int32_t refusePackage(const QString& reason) {
    LogFailure(ImportRefused, reason);
    return Failed;
}

std::int32_t storeUnavailable(const QString& reason) {
    host::writeLog(QStringLiteral("数据库不可用, 人员未导入: ") + reason);
    return Failed;
}

}  // namespace

std::int32_t PackageImport(const QString& packageArgument) {
    if (!TDM_PersonPack::PrepareStore())
        return storeUnavailable(QStringLiteral("数据库连接不可用"));
    DeleteFilesOnExit cleanup;  // runs after the datasets are released
    // The window keeps turning from the first step on: a plan brought up to date, the
    // package's files located and matched with what the preview read, both read.
    OperationProgress progress(HostWindowOfFrame(), QStringLiteral("正在读取人员包: %1 行"), 0);
    progress.countRows(1);
    // The plan the host compares the outcome with is the plan of the ticks imported.
    ImportPreviewPlan* plan = nullptr;
    if (QWidget* frame = findOwnedWidget(TFramePerson::InstanceName))
        if ((plan = ImportPreviewPlan::of(*frame))) plan->settle();
    const QList<TickedPerson> ticked = TickedPersonsOfFrame();
    if (ticked.isEmpty()) return NothingTicked;

    // The import's form: the names are appended directly, so a version-3 argument must end
    // with the separator. The "@&@" marker is not looked for here.
    const PackageFiles files = LocatePackageFiles(packageArgument, PackageJoin::Import);
    if (!files.found()) {
        // A missing file's partner is the import's own to delete, as after any other read.
        if (files.status == PackageFiles::Status::FileMissing) {
            cleanup.add(files.personFile);
            cleanup.add(files.deptFile);
        }
        return refusePackage(files.reason);
    }
    cleanup.add(files.personFile);
    cleanup.add(files.deptFile);
    // The package must still hold what the preview showed.
    if (!MatchesPreviewedPackage(files))
        return refusePackage(QStringLiteral("人员包在预览后已被更改"));

    // Both files are read before anything is stored: the preview's plan read them already
    // (the files it read are the files matched just now), else they are read here, the
    // person file as a compact table whose items are made a part at a time as the import
    // reaches them.
    progress.countRows(1);  // the rows from here on
    ImportItems handed;
    std::optional<ImportItemReader> reader;
    if (!plan || !plan->release(ticked, handed)) {
        reader.emplace();
        if (const QString why = reader->open(files, ticked); !why.isEmpty())
            return refusePackage(why);
        handed.deptRows = reader->takeDeptRows();
    }
    qint64 shown = 0;
    WindowedImport::Hooks hooks;
    hooks.log = [](const QString& line) { return host::writeLog(line); };
    hooks.step = [&](qint64 done) {
        progress.setNote({});
        return progress.step(shown = std::min(done, qint64(ticked.size())));
    };
    hooks.waiting = [&](int waited) {
        progress.setNote(
            QStringLiteral("数据库正被其他导入或程序占用, 已等待 %1 秒 (最多等待 %2 秒)")
                .arg(waited / 1000)
                .arg(WindowedImport::lockWait() / 1000));
        return progress.step(shown);
    };
    hooks.alive = [&] { progress.step(shown); };
    std::optional<WindowedImport> run;
    progress.restart(QStringLiteral("正在读取数据库: %1 行"), 0);
    progress.countRows(1);
    try {
        run.emplace(*TDM_PersonPack::instance(), hooks, WindowedImport::defaultWindow());
    } catch (const std::exception& e) {
        return storeUnavailable(logSafeText(QString::fromUtf8(e.what())));
    }
    progress.restart(QStringLiteral("正在导入人员: %1 / %2"), ticked.size());

    AccountBuilder account(ticked.size(), false);
    qsizetype reached = 0;  // people
    WindowedImport::End end = WindowedImport::End::Complete;
    const qsizetype part = reader ? 16 * qsizetype(WindowedImport::defaultWindow()) : ticked.size();
    for (qsizetype from = 0; from < ticked.size(); from += part) {
        const QList<ImportItem> made = reader ? reader->people(from, part) : QList<ImportItem>();
        const std::span<const ImportItem> items =
            reader ? std::span<const ImportItem>(made)
                   : std::span<const ImportItem>(handed.people).subspan(std::size_t(from));
        end = run->run(items);
        const QList<WindowedImport::Result> results = run->takeResults();
        for (std::size_t i = 0; i < items.size(); ++i) {
            const WindowedImport::Result& result = results[qsizetype(i)];
            reached += result.reached;
            account.add(ticked[from + qsizetype(i)], items[i], &result);
        }
    }
    QString notReached;
    if (end == WindowedImport::End::Complete) end = run->run(handed.deptRows);
    const WindowedImport::Counts counts = run->counts();
    if (end == WindowedImport::End::Cancelled) {
        host::writeLog(
            QStringLiteral("人员导入已取消: 已处理 %1/%2 人").arg(reached).arg(ticked.size()));
        notReached = QStringLiteral("导入已取消, 未处理此人");
        // The package stays where it lies, so the same import can be run again to finish.
        if (host::packageVersion() == 3) cleanup.keep();
    } else if (end == WindowedImport::End::Stopped) {
        LogFailure(ImportStopped, logSafeText(run->stopReason()));
        notReached = QStringLiteral("导入已中止: ") + run->stopReason();
        // As after a cancel: once the store answers again, the same import completes it.
        if (host::packageVersion() == 3) cleanup.keep();
    }
    host::writeLog(QStringLiteral("人员导入结束: 新增 %1 人, 改名后新增 %2 人, 已存在 %3 人, "
                                  "未导入 %4 人, 新建部门 %5 个")
                       .arg(counts.inserted)
                       .arg(counts.renamed)
                       .arg(counts.present)
                       .arg(counts.notStored)
                       .arg(counts.depts));
    progress.restart(QStringLiteral("正在整理导入结果: %1 人"), 0);
    progress.countRows(1);
    // What the import held goes before the account is finished.
    run.reset();
    reader.reset();
    handed = {};
    if (QWidget* frame = findOwnedWidget(TFramePerson::InstanceName))
        ImportAccount::attach(*frame, ImportAccount::ImportName, account.finish(notReached));
    return end == WindowedImport::End::Complete ? Done : Failed;
}

}  // namespace cv
