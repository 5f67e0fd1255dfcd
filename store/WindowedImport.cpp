#include "WindowedImport.h"

#include <QMap>
#include <QSet>

#include "Database.h"
#include "HostServices.h"
#include "ImportWriter.h"
#include "LoginNames.h"
#include "StoreError.h"
#include "TDM_PersonPack.h"
#include "TextCodec.h"

namespace cv {
namespace {

int windowDefault = WindowedImport::DefaultWindow;

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

// The statement that reads the rows of `table` whose `first` or `second` column holds one of
// the values; empty when both lists are.
QString rowsHolding(const QString& columns, const QString& table, const QString& first,
                    const QStringList& firstValues, const QString& second,
                    const QStringList& secondValues) {
    QStringList conditions;
    if (!firstValues.isEmpty()) conditions << first + " IN (" + quotedList(firstValues) + ')';
    if (!secondValues.isEmpty()) conditions << second + " IN (" + quotedList(secondValues) + ')';
    if (conditions.isEmpty()) return {};
    return "SELECT " + columns + " FROM " + table + " WHERE " + conditions.join(" OR ");
}

QString text(const QVariant& value) { return value.isNull() ? QString() : valueText(value); }

}  // namespace

struct WindowedImport::Window {
    qsizetype begin = 0;
    qsizetype end = 0;      // items [begin, end)
    QList<ItemPlan> plans;  // plans[i - begin] for item i
    StoreImage::Mark mark = 0;
    std::uint32_t seed = 0;
    bool cancelled = false;

    ItemPlan& plan(qsizetype item) { return plans[item - begin]; }
    // Whether the window must be checked and written under the lock: it writes, or a person
    // in it could be decided otherwise on a store that changed (a login name taken meanwhile
    // still gives its rename line when the department walk then fails).
    bool needsLock(std::span<const ImportItem> items) const {
        for (qsizetype i = begin; i < end; ++i) {
            const ItemPlan& p = plans[i - begin];
            const ImportItem& item = items[std::size_t(i)];
            if (p.insertPerson || !p.creates.isEmpty() || p.renameLine) return true;
            if (item.kind == ImportItem::Kind::Person && item.unreadable.isEmpty() &&
                p.outcome != ItemPlan::Outcome::Present)
                return true;
        }
        return false;
    }
};

void WindowedImport::setDefaultWindow(int items) { windowDefault = std::max(1, items); }
int WindowedImport::defaultWindow() { return windowDefault; }

WindowedImport::WindowedImport(TDM_PersonPack& module, Hooks hooks, int windowSize)
    : hooks_(std::move(hooks)),
      windowSize_(std::max(1, windowSize)),
      networked_(host::workingStyle() == 1),
      image_(StoreImage::read(module)),
      writer_(std::make_unique<ImportWriter>(module)),
      planner_(std::make_unique<ImportPlanner>(image_, LoginNameSeed(), networked_,
                                               StoreDeptQuestions())) {
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

bool WindowedImport::checkWindow(Window& w, std::span<const ImportItem> items) {
    QStringList ids;
    QSet<QString> plannedIds;
    QStringList logins;
    QSet<QString> plannedLogins;
    QStringList codes;
    QSet<QString> plannedCodes;
    QStringList names;
    for (qsizetype i = w.begin; i < w.end; ++i) {
        const ItemPlan& plan = w.plan(i);
        const ImportItem& item = items[std::size_t(i)];
        if (item.kind == ImportItem::Kind::Person && item.unreadable.isEmpty() &&
            plan.outcome != ItemPlan::Outcome::Present) {
            ids << item.person.PerUUID;
            // A login name taken meanwhile renames the person, stored or not.
            if (!plan.renameLine)
                logins << (item.person.LoginName.isNull() ? "" : item.person.LoginName);
        }
        if (plan.insertPerson) {
            plannedIds.insert(plan.person.PerUUID);
            const QString login = plan.person.LoginName.isNull() ? "" : plan.person.LoginName;
            if (plan.renameLine) logins << login;
            plannedLogins.insert(login);
        }
        for (const DeptPathPlan::NewDept& dept : plan.creates) {
            codes << dept.code;
            plannedCodes.insert(dept.code);
            names << dept.name;
        }
        // A name the walk did not find stops it: found now, the walk goes on.
        if (!plan.missingName.isNull()) names << plan.missingName;
    }
    const QString peopleSql =
        rowsHolding("PerUUID, LoginName", "CV_PersonInfo", "PerUUID", ids, "LoginName", logins);
    // A new code is the greatest of its level plus one, so every code of the level from the
    // first one planned upwards is read too: another writer's department there moves the
    // greatest, whatever its name.
    QMap<QString, QString> firstCodeUnder;  // parent → the least code planned below it
    for (const QString& code : codes) {
        const QString parent = StoreImage::leftCharacters(code, StoreImage::characters(code) - 4);
        const auto found = firstCodeUnder.find(parent);
        if (found == firstCodeUnder.end() || code < *found) firstCodeUnder.insert(parent, code);
    }
    QString deptSql =
        rowsHolding("DeptID, DeptName", "CV_DeptInfo", "DeptID", codes, "DeptName", names);
    for (auto it = firstCodeUnder.cbegin(); it != firstCodeUnder.cend(); ++it)
        deptSql += QStringLiteral(" OR (DeptID >= %1 AND DeptID <= %2 AND len(DeptId) ='%3')")
                       .arg(sqlQuote(it.value()), sqlQuote(it.key() + QStringLiteral("9999")))
                       .arg(StoreImage::characters(it.value()));
    const RowSet people = peopleSql.isEmpty() ? RowSet() : writer_->query(peopleSql);
    const RowSet depts = deptSql.isEmpty() ? RowSet() : writer_->query(deptSql);

    // What the store holds that the image, as it stood before the window, did not.
    QList<std::pair<QString, QString>> newPeople;
    for (const Row& row : people.rows) {
        const QString id = text(row.value(0));
        const QString login = text(row.value(1));
        const bool newId = !id.isNull() && (!image_.hasPerson(id) || plannedIds.contains(id));
        const bool newLogin =
            !login.isNull() && (!image_.hasLogin(login) || plannedLogins.contains(login));
        if (newId || newLogin) newPeople.append({id, login});
    }
    QList<std::pair<QString, QString>> newDepts;
    for (const Row& row : depts.rows) {
        const QString code = text(row.value(0));
        if (!code.isNull() && (!image_.hasDept(code) || plannedCodes.contains(code)))
            newDepts.append({code, text(row.value(1))});
    }
    if (newPeople.isEmpty() && newDepts.isEmpty()) return false;

    image_.rewind(w.mark);
    for (const auto& [id, login] : newPeople) image_.addPerson(id, login);
    for (const auto& [code, name] : newDepts) {
        if (name.isNull()) {
            image_.addNamelessDept(code);
        } else {
            image_.addDept(code, name);
        }
    }
    planner_->setSeed(w.seed);
    planWindow(w, items, w.begin, false);
    return true;
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

void WindowedImport::applyWrites(Window& w, std::span<const ImportItem> items, qsizetype from) {
    std::vector<ImportWrite> writes;
    std::vector<std::pair<qsizetype, int>> owners;  // (item, create or -1 for the person)
    while (from < w.end) {
        writes.clear();
        owners.clear();
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
            if (plan.renameLine && writes.size() > first) writes[first].keep = int(i);
        }
        QString refusal;
        const qsizetype done = writer_->apply(writes, &refusal, hooks_.alive);
        if (done == qsizetype(writes.size())) return;
        const auto [item, create] = owners[std::size_t(done)];
        refuse(w, item, create, refusal);
        planWindow(w, items, item + 1, false);
        from = item + 1;
    }
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
            applyWrites(w, items, i + 1);
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
        Result result{plan.outcome, plan.person, plan.reason, true};
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
    const auto stopAt = [&](qsizetype from, const QString& reason, const Window* w) {
        stopReason_ = reason;
        for (qsizetype i = from; i < qsizetype(items.size()); ++i) {
            const ImportItem& item = items[std::size_t(i)];
            Result result;
            result.reached = true;
            result.person = item.person;
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
                writer_->begin({60000, hooks_.waiting});
                for (int round = 0; round < CheckRounds && checkWindow(w, items); ++round)
                    w.mark = image_.mark();
                applyWrites(w, items, w.begin);
                writeLines(w, items);
                writer_->commit();
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
        if (w.cancelled) {
            for (qsizetype i = next; i < qsizetype(items.size()); ++i) {
                Result result;
                result.person = items[std::size_t(i)].person;
                results_.append(result);
                if (items[std::size_t(i)].kind == ImportItem::Kind::Person) ++counts_.notStored;
            }
            return End::Cancelled;
        }
        if (hooks_.step) hooks_.step(committed_);
    }
    return End::Complete;
}

}  // namespace cv
