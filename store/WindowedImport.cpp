#include "WindowedImport.h"

#include <QMap>
#include <QSet>

#include "Database.h"
#include "HostServices.h"
#include "ImportPlanSession.h"
#include "ImportWriter.h"
#include "LoginNames.h"
#include "StoreError.h"
#include "TDM_PersonPack.h"
#include "TextCodec.h"

namespace cv {
namespace {

int windowDefault = WindowedImport::DefaultWindow;
int lockWaitMs = WindowedImport::DefaultLockWait;

// Rounds of "check, plan again" under one lock before the writes go anyway: only a writer
// that ignores the import lock can change the store between rounds, and whatever it changes
// then still meets the store's keys and the savepoints.
constexpr int CheckRounds = 8;

// The store's words for a refusal of everything, led by plain ones.
QString plainStoreReason(const QString& words) {
    const QString lower = words.toLower();
    QString plain;
    if (lower.contains(u"permission denied") || lower.contains(u"not authorized") ||
        lower.contains(u"access permission")) {
        plain = QStringLiteral("没有写入数据库的权限");
    } else if (lower.contains(u"readonly") || lower.contains(u"read-only") ||
               lower.contains(u"read only")) {
        plain = QStringLiteral("数据库是只读的");
    } else if (lower.contains(u"full") || lower.contains(u"no space") ||
               lower.contains(u"could not extend")) {
        plain = QStringLiteral("数据库所在的磁盘已满");
    } else if (lower.contains(u"locked") || lower.contains(u"busy") || words.contains(u"占用")) {
        plain = QStringLiteral("数据库被其他程序占用");
    } else if (lower.contains(u"connection") || lower.contains(u"server closed") ||
               lower.contains(u"terminat") || words.contains(u"断开") ||
               words.contains(u"停止响应")) {
        plain = QStringLiteral("数据库已停止响应");
    } else {
        plain = QStringLiteral("数据库拒绝写入");
    }
    return plain + QStringLiteral(" (") + words + QLatin1Char(')');
}

QString quotedList(const QStringList& values) {
    QStringList quoted;
    quoted.reserve(values.size());
    for (const QString& value : values) quoted << sqlQuote(value);
    return quoted.join(QLatin1Char(','));
}

QString text(const QVariant& value) { return value.isNull() ? QString() : valueText(value); }

// A connection its owner holds inside a transaction is not committed behind the owner's back:
// the import does not start.
void refuseOwnersTransaction(const ImportWriter& writer) {
    if (writer.ownerInTransaction())
        throw StoreUnavailable("主程序的数据库连接正处于一个未结束的事务中, 导入不会替它提交");
}

}  // namespace

struct WindowedImport::Window {
    qsizetype begin = 0;
    qsizetype end = 0;      // items [begin, end)
    QList<ItemPlan> plans;  // plans[i - begin] for item i
    StoreImage::Mark mark = 0;
    std::uint32_t seed = 0;
    bool cancelled = false;

    QSet<qsizetype> kept;  // items whose writes stand behind a savepoint of their own

    ItemPlan& plan(qsizetype item) { return plans[item - begin]; }
    // Whether the window must be checked and written under the lock: it writes, or a person
    // in it could be decided otherwise on a store that changed (a login name taken meanwhile
    // still gives its rename line when the department walk then fails).
    bool needsLock(std::span<const ImportItem> items) const {
        for (qsizetype i = begin; i < end; ++i) {
            const ItemPlan& p = plans[i - begin];
            const ImportItem& item = items[std::size_t(i)];
            if (p.insertPerson || !p.creates.isEmpty() || p.renameLine) return true;
            // A walk stopped at a name its level lacks (a department row's too, which writes
            // nothing) goes on if another writer has made that name since the image was read.
            if (!p.stoppedUnder.isNull()) return true;
            if (item.kind == ImportItem::Kind::Person && item.unreadable.isEmpty() &&
                p.outcome != ItemPlan::Outcome::Present)
                return true;
        }
        return false;
    }
};

void WindowedImport::setDefaultWindow(int items) { windowDefault = std::max(1, items); }
void WindowedImport::setLockWait(int milliseconds) { lockWaitMs = std::max(1, milliseconds); }
int WindowedImport::lockWait() { return lockWaitMs; }
int WindowedImport::defaultWindow() { return windowDefault; }

WindowedImport::WindowedImport(TDM_PersonPack& module, Hooks hooks, int windowSize)
    : hooks_(std::move(hooks)),
      windowSize_(std::max(1, windowSize)),
      networked_(host::workingStyle() == 1),
      writer_(std::make_unique<ImportWriter>(module)),
      image_((refuseOwnersTransaction(*writer_), writer_->noteStore(), StoreImage::read(module))),
      planner_(std::make_unique<ImportPlanner>(
          image_, LoginNameSeed(), networked_, StoreDeptQuestions(),
          writer_->limits().refusesAny() ? &writer_->limits() : nullptr)) {
    image_.forget();
}

WindowedImport::~WindowedImport() {
    if (writer_) writer_->rollback();
}

WindowedWriter::Costs WindowedImport::costs() const { return writer_->costs(); }

void WindowedImport::planWindow(Window& w, std::span<const ImportItem> items, qsizetype from,
                                bool firstPass) {
    w.plans.resize(from - w.begin);
    for (qsizetype i = from; i < w.end; ++i) {
        if (firstPass && hooks_.step && !hooks_.step(committed_)) {
            w.cancelled = true;
            w.end = i;
            break;
        }
        w.plans.append(planner_->plan(items[std::size_t(i)]));
        // The store breaks the walk's rules: nothing after this item is done.
        if (w.plans.last().outcome == ItemPlan::Outcome::Stop) {
            w.end = i + 1;
            break;
        }
    }
}

WindowedImport::Checks WindowedImport::checksOf(const Window& w,
                                                std::span<const ImportItem> items) const {
    Checks checks;
    QStringList ids;
    QStringList logins;
    QSet<QString>& plannedIds = checks.plannedIds;
    QSet<QString>& plannedLogins = checks.plannedLogins;
    QSet<QString>& plannedCodes = checks.plannedCodes;
    // Every statement finds only what the image, as it stood before the window, lacked, so
    // that any row it finds means the plan no longer holds.
    //
    // The levels the window creates in or whose walks stopped in, by parent: the codes above
    // which every one is new. A new code is the level's greatest plus one, so every department
    // another import made there since the image was read has a code from the first one
    // planned upwards (or above the greatest the image knows), whatever its name.
    struct Bound {
        QString code;
        bool inclusive;
    };
    QMap<QString, Bound> above;
    // And by parent the names the window looks for there and does not find: made there by
    // any writer at any code, each would be found.
    QMap<QString, QStringList> missing;
    const auto watch = [&](const QString& parent, const QString& code, bool inclusive) {
        const auto found = above.find(parent);
        if (found == above.end() || code < found->code || (code == found->code && !inclusive))
            above.insert(parent, {code, inclusive});
    };
    for (qsizetype i = w.begin; i < w.end; ++i) {
        const ItemPlan& plan = w.plans[i - w.begin];
        const ImportItem& item = items[std::size_t(i)];
        if (item.kind == ImportItem::Kind::Person && item.unreadable.isEmpty() &&
            plan.outcome != ItemPlan::Outcome::Present) {
            ids << item.person.PerUUID;
            // A login name taken meanwhile renames the person, stored or not.
            if (!plan.loginTaken)
                logins << (item.person.LoginName.isNull() ? "" : item.person.LoginName);
        }
        if (plan.insertPerson) {
            plannedIds.insert(plan.person.PerUUID);
            const QString login = plan.person.LoginName.isNull() ? "" : plan.person.LoginName;
            if (plan.renameLine) logins << login;
            plannedLogins.insert(login);
        }
        for (const DeptPathPlan::NewDept& dept : plan.creates) {
            plannedCodes.insert(dept.code);
            const QString parent =
                StoreImage::leftCharacters(dept.code, StoreImage::characters(dept.code) - 4);
            watch(parent, dept.code, true);
            missing[parent] << dept.name;
        }
        // A walk that stopped at a name its level lacks may go on once another writer filled
        // that level. (A level of codes that are not decimal numbers has no such order; a
        // walk stopped there is left as planned.)
        if (!plan.stoppedUnder.isNull()) {
            missing[plan.stoppedUnder] << plan.stoppedAt;
            const StoreImage::Answer greatest = image_.maximumDept(plan.stoppedUnder);
            if (greatest.kind != StoreImage::Answer::AskStore)
                watch(
                    plan.stoppedUnder,
                    greatest.kind == StoreImage::Answer::Found ? greatest.code : plan.stoppedUnder,
                    false);
        }
    }
    // Each statement one index can answer: an OR of the two lists reads the whole table.
    const auto people = [](const char* column, const QStringList& values) {
        return values.isEmpty() ? QString()
                                : QStringLiteral(
                                      "SELECT PerUUID, LoginName FROM CV_PersonInfo "
                                      "WHERE %1 IN (%2)")
                                      .arg(QLatin1String(column), quotedList(values));
    };
    const QString idSql = people("PerUUID", ids);
    const QString loginSql = people("LoginName", logins);
    QStringList levels;
    for (auto it = above.cbegin(); it != above.cend(); ++it)
        levels << QStringLiteral("(DeptID %1 %2 AND DeptID <= %3 AND len(DeptId) ='%4')")
                      .arg(it->inclusive ? ">=" : ">", sqlQuote(it->code),
                           sqlQuote(it.key() + QStringLiteral("9999")))
                      .arg(StoreImage::characters(it.key()) + 4);
    // Below a department, its codes' range finds the names (a name such as 组3 stands under
    // hundreds of parents); at the top level, the name.
    for (auto it = missing.cbegin(); it != missing.cend(); ++it) {
        const qsizetype length = StoreImage::characters(it.key());
        levels << QStringLiteral("(DeptName IN (%1) AND len(DeptId) ='%2'%3)")
                      .arg(quotedList(it->mid(0)), QString::number(length + 4),
                           length == 0 ? QString()
                                       : QStringLiteral(" AND DeptID > %1 AND DeptID <= %2 AND "
                                                        "Left(DeptId,'%3')=%1")
                                             .arg(sqlQuote(it.key()),
                                                  sqlQuote(it.key() + QStringLiteral("9999")))
                                             .arg(length));
    }
    const QString deptSql =
        levels.isEmpty() ? QString()
                         : "SELECT DeptID, DeptName FROM CV_DeptInfo WHERE " + levels.join(" OR ");
    for (const QString& sql : {idSql, loginSql}) {
        if (sql.isEmpty()) continue;
        checks.people << int(checks.sql.size());
        checks.sql << sql;
    }
    if (!deptSql.isEmpty()) {
        checks.depts = int(checks.sql.size());
        checks.sql << deptSql;
    }
    return checks;
}

WindowedImport::Facts WindowedImport::factsIn(const Checks& checks,
                                              const QList<RowSet>& rows) const {
    RowSet people;
    for (const int statement : checks.people) people.rows += rows.value(statement).rows;
    const RowSet none;
    const RowSet& depts = checks.depts >= 0 ? rows.value(checks.depts) : none;
    const QSet<QString>& plannedIds = checks.plannedIds;
    const QSet<QString>& plannedLogins = checks.plannedLogins;
    const QSet<QString>& plannedCodes = checks.plannedCodes;
    // What the store holds that the image, as it stood before the window, did not.
    Facts facts;
    QList<std::pair<QString, QString>>& newPeople = facts.people;
    for (const Row& row : people.rows) {
        const QString id = text(row.value(0));
        const QString login = text(row.value(1));
        const bool newId = !id.isNull() && (!image_.hasPerson(id) || plannedIds.contains(id));
        const bool newLogin =
            !login.isNull() && (!image_.hasLogin(login) || plannedLogins.contains(login));
        if (newId || newLogin) newPeople.append({id, login});
    }
    QList<std::pair<QString, QString>>& newDepts = facts.depts;
    for (const Row& row : depts.rows) {
        const QString code = text(row.value(0));
        if (!code.isNull() && (!image_.hasDept(code) || plannedCodes.contains(code)))
            newDepts.append({code, text(row.value(1))});
    }
    return facts;
}

void WindowedImport::absorb(Window& w, std::span<const ImportItem> items, const Facts& facts) {
    image_.rewind(w.mark);
    for (const auto& [id, login] : facts.people) image_.addPerson(id, login);
    for (const auto& [code, name] : facts.depts) {
        if (name.isNull()) {
            image_.addNamelessDept(code);
        } else {
            image_.addDept(code, name);
        }
    }
    w.mark = image_.mark();  // the facts stay whatever the window's plan becomes
    planner_->setSeed(w.seed);
    planWindow(w, items, w.begin, false);
}

void WindowedImport::refuse(Window& w, qsizetype item, int create, const QString& reason) {
    ItemPlan& plan = w.plan(item);
    if (create >= 0) {
        const QString name = plan.creates[create].name;
        image_.rewind(plan.beforeCreate[create]);
        plan.creates.resize(create);
        if (plan.outcome != ItemPlan::Outcome::Departments) {
            plan.outcome = ItemPlan::Outcome::NotStored;
            plan.reason = QStringLiteral("部门 %1 未能保存: %2").arg(name, reason);
        }
    } else {
        image_.rewind(plan.beforePerson);
        plan.outcome = ItemPlan::Outcome::NotStored;
        plan.reason = reason;
    }
    plan.insertPerson = false;
    planner_->setSeed(plan.seedAfter);
}

WindowedImport::Sent WindowedImport::write(Window& w, std::span<const ImportItem> items,
                                           qsizetype from, LazyChecks* checks) {
    std::vector<ImportWrite> writes;
    std::vector<std::pair<qsizetype, int>> owners;  // (item, create or -1 for the person)
    for (;;) {
        writes.clear();
        owners.clear();
        bool lines = false;
        for (qsizetype i = from; i < w.end; ++i) {
            const ItemPlan& plan = w.plan(i);
            const std::size_t first = writes.size();
            for (int c = 0; c < plan.creates.size(); ++c) {
                writes.push_back(ImportWrite::dept(plan.creates[c].code, plan.creates[c].name));
                owners.push_back({i, c});
            }
            if (plan.insertPerson) {
                writes.push_back(ImportWrite::person(plan.person));
                owners.push_back({i, -1});
            }
            // A line the log may still refuse must be able to take its item's writes back.
            if (plan.renameLine && writes.size() > first && !w.kept.contains(i))
                writes[first].keep = int(i);
        }
        for (qsizetype i = w.begin; i < w.end && !lines; ++i) lines = w.plan(i).renameLine;
        // The commit goes with the writes unless a rename line must be logged before it.
        WindowAnswer answer;
        if (checks) {
            answer = writer_->open(
                [checks] { return checks->get().sql; },
                imageStale_ ? WindowRequest::Checks::Always : WindowRequest::Checks::IfOthersWrote,
                writes, !lines, {lockWaitMs, hooks_.waiting}, hooks_.alive);
            // Once somebody else has written since the image was read, every window is checked.
            imageStale_ = imageStale_ || answer.checked;
            if (!answer.planHeld) {
                // Rolled back already: what the plan asks of the store now sees none of it.
                absorb(w, items, factsIn(checks->get(), answer.rows));
                return Sent::Changed;
            }
            checks = nullptr;
        } else {
            answer = writer_->go(writes, !lines, hooks_.alive);
        }
        for (qsizetype k = 0; k < answer.stored; ++k)
            if (writes[std::size_t(k)].keep >= 0) w.kept.insert(writes[std::size_t(k)].keep);
        if (answer.stored == qsizetype(writes.size())) return Sent::Stored;
        const auto [item, create] = owners[std::size_t(answer.stored)];
        if (takenMeanwhile(w, items, item, create)) {
            from = item;  // planned again on what the store holds now
            continue;
        }
        refuse(w, item, create, answer.refusal);
        planWindow(w, items, item + 1, false);
        from = item + 1;
    }
}

bool WindowedImport::takenMeanwhile(Window& w, std::span<const ImportItem> items, qsizetype item,
                                    int create) {
    // A writer that does not take the import lock (the business system) may have stored the
    // person or taken the code since the window's check: that is not a refusal of the
    // person's values, and the person is decided again on what the store holds now.
    ItemPlan& plan = w.plan(item);
    const RowSet found =
        create >= 0
            ? writer_->query("SELECT DeptID, DeptName FROM CV_DeptInfo WHERE DeptID = " +
                             sqlQuote(plan.creates[create].code))
            : writer_->query("SELECT PerUUID, LoginName FROM CV_PersonInfo WHERE PerUUID = " +
                             sqlQuote(plan.person.PerUUID));
    if (found.rows.isEmpty()) return false;
    const QList<DeptPathPlan::NewDept> stored =
        plan.creates.mid(0, create < 0 ? plan.creates.size() : create);
    image_.rewind(plan.before);
    for (const DeptPathPlan::NewDept& dept : stored) image_.addDept(dept.code, dept.name);
    const Row& row = found.rows.first();
    if (create >= 0) {
        const QString name = text(row.value(1));
        if (name.isNull()) {
            image_.addNamelessDept(text(row.value(0)));
        } else {
            image_.addDept(text(row.value(0)), name);
        }
    } else {
        image_.addPerson(text(row.value(0)), text(row.value(1)));
    }
    imageStale_ = true;
    planner_->setSeed(plan.seedBefore);
    planWindow(w, items, item, false);
    return true;
}

void WindowedImport::writeLines(Window& w, std::span<const ImportItem> items) {
    for (qsizetype i = w.begin; i < w.end; ++i) {
        ItemPlan& plan = w.plan(i);
        if (!plan.renameLine || hooks_.log(plan.renameMessage()) == 1) continue;
        // The log refused the line: the person is not stored, and nothing of it stays.
        const bool wrote = plan.insertPerson || !plan.creates.isEmpty();
        if (wrote) writer_->rollbackTo(int(i));
        image_.rewind(plan.before);
        planner_->setSeed(plan.seedAfter);
        plan.creates.clear();
        plan.insertPerson = false;
        plan.renameLine = false;
        plan.outcome = ItemPlan::Outcome::NotStored;
        plan.reason = QStringLiteral("改名的日志未能写入, 人员未保存");
        if (wrote) {
            planWindow(w, items, i + 1, false);
            write(w, items, i + 1, nullptr);
        }
    }
}

void WindowedImport::notStored(const ImportItem& item, const QString& reason) {
    ++counts_.notStored;
    hooks_.log(QStringLiteral("人员未导入: %1 (PerUUID %2): %3")
                   .arg(item.person.PerName, item.person.PerUUID, reason));
}

void WindowedImport::record(const Window& w, std::span<const ImportItem> items) {
    for (qsizetype i = w.begin; i < w.end; ++i) {
        const ItemPlan& plan = w.plans[i - w.begin];
        const ImportItem& item = items[std::size_t(i)];
        counts_.depts += int(plan.creates.size());
        Result result{plan.outcome, {}, {}, plan.reason, true};
        if (plan.insertPerson) {
            result.loginName = plan.person.LoginName.isNull() ? "" : plan.person.LoginName;
            result.deptCode = plan.person.PerDept;
        }
        switch (plan.outcome) {
            case ItemPlan::Outcome::Present:
                ++counts_.present;
                break;
            case ItemPlan::Outcome::Inserted:
                ++counts_.inserted;
                break;
            case ItemPlan::Outcome::Renamed:
                ++counts_.renamed;
                break;
            case ItemPlan::Outcome::NotStored:
            case ItemPlan::Outcome::Stop:
                result.outcome = ItemPlan::Outcome::NotStored;
                notStored(item, plan.reason);
                break;
            case ItemPlan::Outcome::Departments:
                break;
        }
        results_.append(result);
    }
}

WindowedImport::End WindowedImport::run(std::span<const ImportItem> items) {
    const auto cancelFrom = [&](qsizetype from) {
        ended_ = End::Cancelled;
        for (qsizetype i = from; i < qsizetype(items.size()); ++i) {
            results_.append(Result{});
            if (items[std::size_t(i)].kind == ImportItem::Kind::Person) ++counts_.notStored;
        }
        return End::Cancelled;
    };
    const auto stopAt = [&](qsizetype from, const QString& reason, const Window* w) {
        ended_ = End::Stopped;
        stopReason_ = reason;
        for (qsizetype i = from; i < qsizetype(items.size()); ++i) {
            const ImportItem& item = items[std::size_t(i)];
            Result result;
            result.reached = true;
            if (item.kind == ImportItem::Kind::DeptRow) {
                result.outcome = ItemPlan::Outcome::Departments;
            } else {
                // An item refused for its own values keeps its own reason.
                const bool own = w && i < w->end && w->plans.size() > i - w->begin &&
                                 w->plans[i - w->begin].outcome == ItemPlan::Outcome::NotStored;
                result.reason =
                    own ? w->plans[i - w->begin].reason : QStringLiteral("导入已中止: ") + reason;
                notStored(item, result.reason);
            }
            results_.append(result);
        }
        return End::Stopped;
    };
    if (ended_ == End::Stopped) return stopAt(0, stopReason_, nullptr);
    if (ended_ == End::Cancelled) return cancelFrom(0);

    qsizetype next = 0;
    while (next < qsizetype(items.size())) {
        Window w;
        w.begin = next;
        w.end = std::min<qsizetype>(next + windowSize_, items.size());
        w.mark = image_.mark();
        w.seed = planner_->seed();
        const StoreImage::Mark start = w.mark;
        planWindow(w, items, w.begin, true);
        try {
            if (w.needsLock(items)) {
                // The checks hold, or the window is planned again on what they found and goes
                // again; a store that keeps changing under a lock its writer ignores is
                // written at last as planned, its keys still guarding it.
                Sent sent = Sent::Changed;
                for (int round = 0; round < CheckRounds && sent == Sent::Changed; ++round) {
                    LazyChecks checks{[&] { return checksOf(w, items); }, {}};
                    sent = write(w, items, w.begin, &checks);
                }
                if (sent == Sent::Changed) {
                    LazyChecks none{[] { return Checks(); }, {}};
                    write(w, items, w.begin, &none);
                }
                writeLines(w, items);
                if (writer_->inWindow()) writer_->commit();
            }
        } catch (const WaitAbandoned&) {
            // Cancelled while waiting for the store: nothing of this window was written.
            writer_->rollback();
            image_.rewind(start);
            planner_->setSeed(w.seed);
            w.end = w.begin;
            w.cancelled = true;
        } catch (const DbError& e) {
            writer_->rollback();
            image_.rewind(start);
            planner_->setSeed(w.seed);
            return stopAt(w.begin, plainStoreReason(QString::fromUtf8(e.what())), &w);
        }
        image_.forget();
        SetLoginNameSeed(planner_->seed());
        record(w, items);
        committed_ += w.end - w.begin;
        next = w.end;
        if (w.end > w.begin && w.plans.last().outcome == ItemPlan::Outcome::Stop)
            return stopAt(next, w.plans.last().reason, nullptr);
        if (w.cancelled) return cancelFrom(next);
        if (hooks_.step) hooks_.step(committed_);
    }
    return End::Complete;
}

WindowedImport::Plan WindowedImport::plan(TDM_PersonPack& module,
                                          std::span<const ImportItem> people,
                                          std::span<const ImportItem> deptRows) {
    ImportPlanSession session(module, people, deptRows);
    std::vector<qsizetype> all(people.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = qsizetype(i);
    return session.plan(all);
}

}  // namespace cv
