// The import's items written window by window.
//
// The store is read once (StoreImage) and each window of items is planned against that image
// (ImportPlanner) before anything is written. Then the window takes the import lock (one
// transaction; ImportWriter) and checks its plan against the store with a statement or two:
// are its PerUUIDs still absent, its login names still free, its new departments' codes and
// names still unmade. Where another writer changed them, the window is planned again from what
// the store holds now. Then its writes go, each under a savepoint of its own; a write the store
// refuses for its values costs only its item, and the items after it are planned again. Then
// the rename lines go to the host's log, in order, before the commit makes any of them true; a
// line the log refuses takes back its item's writes and everything after, which is planned
// again without it. Only the commit makes a window's people count: a window that does not
// commit leaves every item of it not stored, with the reason.
//
// Failures that are not about an item's own values (no right to write, a read-only, full or
// locked store, a lost connection) end the import there: the windows committed before stay.
#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "ImportPlanner.h"
#include "WindowedWriter.h"

namespace cv {

class TDM_PersonPack;
class ImportWriter;

class WindowedImport {
public:
    struct Hooks {
        // Writes one line through the host's log; answers 1 when it was written.
        std::function<std::int32_t(const QString&)> log;
        // `done` items are committed; false once the user has cancelled.
        std::function<bool(qint64 done)> step;
        // Called while the store's lock is awaited; false gives up.
        std::function<bool(int waitedMs)> waiting;
        // Called while the store's answers are awaited.
        std::function<void()> alive;
    };

    // What became of one item, as its window's commit made it.
    struct Result {
        ItemPlan::Outcome outcome = ItemPlan::Outcome::NotStored;
        QString loginName;     // as stored (Inserted, Renamed)
        QString deptCode;      // this installation's department code, as stored
        QString reason;        // NotStored
        bool reached = false;  // false: a cancel or a stop came first
    };

    struct Counts {
        int inserted = 0;
        int renamed = 0;
        int present = 0;
        int notStored = 0;  // every ticked person not stored, those never reached included
        int depts = 0;
    };

    enum class End { Complete, Cancelled, Stopped };

    // What an import run now would make of `people` and then `deptRows`, decided exactly as
    // run() decides them on the store as it is, writing nothing: the store is read, the login
    // generator's seed is copied and left as it was, no line is logged. Every item is reached
    // (those after a stop are not stored, as the import's would be); the departments come in
    // the order they would be created.
    struct Plan {
        QList<Result> results;  // the people's, in order
        QList<DeptPathPlan::NewDept> creates;
        Counts counts;
        QString stopReason;  // the store breaks the walk's rules: the import would stop there
    };
    // Throws DbError (StoreUnavailable) when the store cannot be read.
    static Plan plan(TDM_PersonPack& module, std::span<const ImportItem> people,
                     std::span<const ImportItem> deptRows);

    static constexpr int DefaultWindow = 2000;

    // Reads the store's image in the current working style and prepares the writes. Throws
    // DbError (StoreUnavailable) when the store cannot be read or written.
    WindowedImport(TDM_PersonPack& module, Hooks hooks, int windowSize = DefaultWindow);
    ~WindowedImport();

    // Imports `items` in order, window by window; the results of earlier runs stay. Ends at
    // the first cancel or stop; a run after that end stores nothing and marks its items as
    // the end marked the rest of its own (a caller may hand the items over in parts).
    End run(std::span<const ImportItem> items);

    const QString& stopReason() const { return stopReason_; }
    // One per item of every run, in order; those not reached are marked so.
    const QList<Result>& results() const { return results_; }
    // The same, handed over: the results from here on start after them (a caller that
    // hands the items over in parts lets each part's results go with it).
    QList<Result> takeResults() { return std::exchange(results_, {}); }
    const Counts& counts() const { return counts_; }
    WindowedWriter::Costs costs() const;

    // The window size the import uses when none is given: tests and benchmarks set it.
    static void setDefaultWindow(int items);
    static int defaultWindow();
    // How long a window waits for the store's lock (another import's window, or another
    // program holding the store): a minute, stated in the wait's message; tests shorten it.
    static constexpr int DefaultLockWait = 60000;
    static void setLockWait(int milliseconds);
    static int lockWait();

private:
    struct Window;
    void planWindow(Window& window, std::span<const ImportItem> items, qsizetype from,
                    bool firstPass);
    // The statements that tell whether a window's plan still holds, and what the plan
    // itself adds, against which their rows are judged.
    struct Checks {
        QStringList sql;
        QList<int> people;  // the statements of each, in `sql`
        int depts = -1;
        QSet<QString> plannedIds;
        QSet<QString> plannedLogins;
        QSet<QString> plannedCodes;
    };
    Checks checksOf(const Window& window, std::span<const ImportItem> items) const;
    // A window's checks, made when the writer first reads them (on SQLite, only once another
    // writer has written).
    struct LazyChecks {
        std::function<Checks()> make;
        std::optional<Checks> made;
        const Checks& get() {
            if (!made) made = make();
            return *made;
        }
    };
    // What the checks' rows hold that the image, as it stood before the window, did not.
    struct Facts {
        QList<std::pair<QString, QString>> people;  // (PerUUID, LoginName), nulls as null
        QList<std::pair<QString, QString>> depts;   // (DeptID, DeptName)
    };
    Facts factsIn(const Checks& checks, const QList<RowSet>& rows) const;
    // Takes them into the image and plans the window again.
    void absorb(Window& window, std::span<const ImportItem> items, const Facts& facts);
    // Writes the window's items from `from` on, a refusal deciding its item and the items
    // after it being planned again; with `checks`, the first go opens the window under the
    // lock, and Changed says its checks found the store changed (the window is rolled back
    // and planned again). The commit goes with the last writes unless a rename line must be
    // logged before it.
    enum class Sent { Stored, Changed };
    Sent write(Window& window, std::span<const ImportItem> items, qsizetype from,
               LazyChecks* checks);
    void writeLines(Window& window, std::span<const ImportItem> items);
    void refuse(Window& window, qsizetype item, int create, const QString& reason);
    bool takenMeanwhile(Window& window, std::span<const ImportItem> items, qsizetype item,
                        int create);
    void record(const Window& window, std::span<const ImportItem> items);
    void notStored(const ImportItem& item, const QString& reason);

    Hooks hooks_;
    int windowSize_;
    bool networked_;
    std::unique_ptr<ImportWriter> writer_;  // before the image: it notes who wrote since
    StoreImage image_;
    std::unique_ptr<ImportPlanner> planner_;
    QList<Result> results_;
    Counts counts_;
    QString stopReason_;
    End ended_ = End::Complete;
    qint64 committed_ = 0;
    bool imageStale_ = false;  // another writer wrote since the image was read
};

}  // namespace cv
