#include "StoreImage.h"

#include "Heartbeat.h"
#include "HostServices.h"
#include "LoginNames.h"
#include "TDM_PersonPack.h"

namespace cv {
namespace {

bool decimal(const QString& code) {
    for (QChar c : code)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}

// The rows of `sql` through the shared query dataset of the current working style.
RowSet fetchRows(TDM_PersonPack& module, const QString& sql) {
    if (host::workingStyle() == 1) {
        module.CDSTemp.close();
        module.CDSTemp.setCommandText(sql);
        module.CDSTemp.open();
        RowSet rows = module.CDSTemp.data();
        module.CDSTemp.close();
        return rows;
    }
    module.dstShare.close();
    module.dstShare.setCommandText(sql);
    module.dstShare.open();
    RowSet rows = module.dstShare.data();
    module.dstShare.close();
    return rows;
}

// Calls `use` with the text of a value that is not null, without copying it when the value
// holds a string (nearly always: the columns are varchar).
template <typename Use>
void withText(const Row& row, qsizetype column, Use&& use) {
    if (column >= row.size()) return;  // a short row holds nulls
    const QVariant& value = row.at(column);
    if (value.isNull()) return;
    if (value.typeId() == QMetaType::QString) {
        use(QStringView(*static_cast<const QString*>(value.constData())));
    } else {
        use(QStringView(valueText(value)));
    }
}

// Looks up the text of `column` of each row in `texts`, calling found(number, text) (number
// -1 when it is not there) for each row that holds one. The rows' texts lie one allocation
// apart and their slots anywhere: each row's values are fetched 16 rows ahead, its text 8
// ahead and its slot 4 ahead, so that the misses overlap.
template <typename Found>
void findEach(const RowSet& rows, qsizetype column, const TextGroups& texts, Found&& found) {
    const qsizetype count = rows.rows.size();
    // The row's text when it holds a string that is not null, the common case.
    const auto text = [&](qsizetype i) -> const QString* {
        const Row& row = rows.rows[i];
        if (column >= row.size()) return nullptr;
        const QVariant& value = row.at(column);
        if (value.typeId() != QMetaType::QString || value.isNull()) return nullptr;
        return static_cast<const QString*>(value.constData());
    };
    constexpr qsizetype Ahead = 4;
    quint32 hashes[Ahead] = {};
    for (qsizetype i = -4 * Ahead; i < count; ++i) {
        const quint32 hash = hashes[(i + 4 * Ahead) % Ahead];  // row i's, before row i + Ahead's
        if (i + 4 * Ahead < count) __builtin_prefetch(rows.rows[i + 4 * Ahead].constData());
        if (i + 2 * Ahead >= 0 && i + 2 * Ahead < count)
            if (const QString* ahead = text(i + 2 * Ahead)) __builtin_prefetch(ahead->constData());
        if (i + Ahead >= 0 && i + Ahead < count)
            if (const QString* ahead = text(i + Ahead)) {
                const quint32 hash = TextGroups::hashOf(*ahead);
                hashes[(i + Ahead) % Ahead] = hash;
                texts.prefetch(hash);
            }
        if (i < 0) continue;
        heartbeat();
        if (const QString* value = text(i)) {
            found(StoreImage::Key(texts.find(*value, hash)), QStringView(*value));
        } else {
            withText(rows.rows[i], column,
                     [&](QStringView other) { found(StoreImage::Key(texts.find(other)), other); });
        }
    }
}

}  // namespace

StoreImage::Rows StoreImage::fetch(TDM_PersonPack& module) {
    Rows rows;
    rows.people = fetchPeople(module);
    rows.depts = fetchDepts(module);
    return rows;
}

RowSet StoreImage::fetchPeople(TDM_PersonPack& module) {
    return fetchRows(module, QStringLiteral("SELECT PerUUID, LoginName FROM CV_PersonInfo"));
}

RowSet StoreImage::fetchDepts(TDM_PersonPack& module) {
    return fetchRows(module, QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"));
}

StoreImage StoreImage::read(TDM_PersonPack& module) {
    const Rows rows = fetch(module);
    return fromRows(rows.people, rows.depts);
}

StoreImage StoreImage::fromRows(const RowSet& people, const RowSet& depts) {
    StoreImage image;
    image.journaling_ = false;
    image.people_.reserve(people.rows.size());
    image.logins_.reserve(people.rows.size());
    for (const Row& row : people.rows) {
        heartbeat();
        withText(row, 0, [&](QStringView id) { image.people_.add(image.people_.id(id)); });
        withText(row, 1, [&](QStringView name) { image.logins_.add(image.logins_.id(name)); });
    }
    image.addDepts(depts);
    image.journaling_ = true;
    return image;
}

void StoreImage::Asked::findDrawn() { StoreImage::findDrawn(logins_, drawnAs_); }

void StoreImage::findDrawn(const TextSet& logins, std::vector<qint64>& drawnAs) {
    for (Key id = Key(drawnAs.size()); id < logins.size(); ++id) {
        const QStringView name = logins.text(id);
        const int number = DrawnNumber(name);
        const Key base = number < 0 ? -1 : logins.find(name.chopped(5));
        drawnAs.push_back(base < 0 ? -1 : qint64(drawnPair(base, number)));
    }
}

StoreImage StoreImage::fromRows(const RowSet& people, const RowSet& depts, Asked asked) {
    asked.findPeople(people);
    asked.findLogins(people);
    return fromParts(fromRows({}, depts), std::move(asked));
}

StoreImage StoreImage::fromParts(StoreImage depts, Asked asked) {
    StoreImage image = std::move(depts);
    image.restricted_ = true;
    asked.findDrawn();
    image.people_ = std::move(asked.people_);
    image.logins_ = std::move(asked.logins_);
    image.drawnAs_ = std::move(asked.drawnAs_);
    image.drawn_ = std::move(asked.drawn_);
    return image;
}

void StoreImage::Asked::findPeople(const RowSet& people) {
    findEach(people, 0, people_.texts(), [&](Key key, QStringView) {
        if (key >= 0) people_.add(key);
    });
}

void StoreImage::Asked::findLogins(const RowSet& people) {
    findDrawn();
    findEach(people, 1, logins_.texts(), [&](Key key, QStringView name) {
        if (key >= 0) {
            if (const qint64 drawn = drawnAs_[std::size_t(key)]; drawn >= 0) {
                drawn_.add(drawn_.id(quint64(drawn)));
            } else {
                logins_.add(key);
            }
        } else if (const int number = DrawnNumber(name); number >= 0) {
            // Held for the candidates of the login name it could have been drawn for.
            if (const Key base = logins_.find(name.chopped(5)); base >= 0)
                drawn_.add(drawn_.id(drawnPair(base, number)));
        }
    });
}

void StoreImage::addDepts(const RowSet& depts) {
    for (const Row& row : depts.rows) {
        if (row.value(0).isNull()) continue;
        // A null name is found by no look-up, but its code still counts for the maximum.
        const QString code = valueText(row.value(0));
        if (row.value(1).isNull()) {
            addCode(code);
        } else {
            addDept(code, valueText(row.value(1)));
        }
    }
}

void StoreImage::addPerson(const QString& perUUID, const QString& loginName) {
    addPerson(perUUID.isNull() ? -1 : people_.id(perUUID),
              loginName.isNull() ? -1 : logins_.id(loginName));
}

void StoreImage::addPerson(Key perUUID, Key loginName) {
    if (perUUID >= 0 && people_.add(perUUID) && journaling_)
        journal_.push_back({Change::PersonAdded, perUUID});
    if (loginName >= 0) addLogin(loginName);
}

void StoreImage::addPersonDrawn(Key perUUID, Key base, int number) {
    if (perUUID >= 0 && people_.add(perUUID) && journaling_)
        journal_.push_back({Change::PersonAdded, perUUID});
    addDrawn(drawnPair(base, number));
}

void StoreImage::addLogin(Key loginName) {
    if (const qint64 drawn = drawnAs(loginName); drawn >= 0) {
        addDrawn(quint64(drawn));
    } else if (logins_.add(loginName) && journaling_) {
        journal_.push_back({Change::LoginAdded, loginName});
    }
}

void StoreImage::addDrawn(quint64 pair) {
    const Key id = drawn_.id(pair);
    if (drawn_.add(id) && journaling_) journal_.push_back({Change::DrawnAdded, id});
}

StoreImage::Key StoreImage::NumberSet::id(quint64 value) {
    if (2 * (present_.size() + 1) > slots_.size()) {
        std::vector<std::pair<quint64, Key>> old(2 * slots_.size(), {0, -1});
        old.swap(slots_);
        for (const auto& slot : old)
            if (slot.second >= 0) slots_[slotOf(slot.first)] = slot;
    }
    std::pair<quint64, Key>& slot = slots_[slotOf(value)];
    if (slot.second < 0) {
        slot = {value, Key(present_.size())};
        present_.push_back(false);
    }
    return slot.second;
}

std::size_t StoreImage::NumberSet::slotOf(quint64 value) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = std::size_t((value * 0x9E3779B97F4A7C15ull) >> 32) & mask;;
         i = (i + 1) & mask)
        if (slots_[i].second < 0 || slots_[i].first == value) return i;
}

void StoreImage::journal(DeptChange change) {
    if (!journaling_) return;
    journal_.push_back({Change::Dept, Key(deptJournal_.size())});
    deptJournal_.push_back(std::move(change));
}

void StoreImage::rewind(Mark mark) {
    while (Mark(journal_.size()) > mark) {
        const Change change = journal_.back();
        journal_.pop_back();
        if (change.kind == Change::PersonAdded) {
            people_.remove(change.id);
            continue;
        }
        if (change.kind == Change::LoginAdded) {
            logins_.remove(change.id);
            continue;
        }
        if (change.kind == Change::DrawnAdded) {
            drawn_.remove(change.id);
            continue;
        }
        DeptChange dept = std::move(deptJournal_.back());
        deptJournal_.pop_back();
        switch (dept.kind) {
            case DeptChange::CodeAdded:
                codes_.remove(dept.key);
                break;
            case DeptChange::NameChanged:
                if (dept.named) {
                    named_[{dept.key, dept.name}] = *dept.named;
                } else {
                    named_.remove({dept.key, dept.name});
                }
                break;
            case DeptChange::LevelChanged:
                if (dept.level) {
                    levels_[dept.key] = *dept.level;
                } else {
                    levels_.remove(dept.key);
                }
                break;
        }
    }
}

StoreImage::Answer StoreImage::findDept(const QString& parent, const QString& name) const {
    const auto found = named_.constFind({parent, name});
    if (found == named_.cend()) return {};
    if (found->count > 1) return {Answer::AskStore, {}};
    return {Answer::Found, found->code};
}

StoreImage::Answer StoreImage::maximumDept(const QString& parent) const {
    const auto level = levels_.constFind(parent);
    if (level == levels_.cend()) return {};
    if (!level->decimal) return {Answer::AskStore, level->maximum};
    return {Answer::Found, level->maximum};
}

void StoreImage::addDept(const QString& code, const QString& name) {
    if (const auto parent = addCode(code)) {
        const auto found = named_.constFind({*parent, name});
        journal({DeptChange::NameChanged,
                 *parent,
                 name,
                 found == named_.cend() ? std::nullopt : std::optional(*found),
                 {}});
        Named& named = named_[{*parent, name}];
        if (named.count++ == 0) named.code = code;
    }
}

std::optional<QString> StoreImage::addCode(const QString& code) {
    if (!codes_.contains(code)) {
        codes_.insert(code);
        journal({DeptChange::CodeAdded, code, {}, {}, {}});
    }
    // Only codes of whole levels answer the look-ups (Len(DeptID) = 4 * (level + 1)).
    const qsizetype length = characters(code);
    if (length < 4 || length % 4 != 0) return std::nullopt;
    QString parent = leftCharacters(code, length - 4);
    if (journaling_) {
        const auto found = levels_.constFind(parent);
        journal({DeptChange::LevelChanged,
                 parent,
                 {},
                 {},
                 found == levels_.cend() ? std::nullopt : std::optional(*found)});
    }
    Level& level = levels_[parent];
    if (!decimal(code)) level.decimal = false;
    // Codes of one level have the same number of digits, so text order is number order.
    if (level.maximum.isEmpty() || code > level.maximum) level.maximum = code;
    return parent;
}

qsizetype StoreImage::characters(const QString& text) {
    qsizetype count = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        if (!(text[i].isLowSurrogate() && i > 0 && text[i - 1].isHighSurrogate())) ++count;
    return count;
}

QString StoreImage::leftCharacters(const QString& text, qsizetype count) {
    qsizetype i = 0;
    for (qsizetype seen = 0; i < text.size() && seen < count; ++i, ++seen)
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) ++i;
    return text.left(i);
}

}  // namespace cv
