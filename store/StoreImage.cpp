#include "StoreImage.h"

#include "HostServices.h"
#include "TDM_PersonPack.h"

namespace cv {
namespace {

bool decimal(const QString& code) {
    for (QChar c : code)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}

// The rows of `sql` through the shared query dataset of the current working style.
RowSet fetch(TDM_PersonPack& module, const QString& sql) {
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

}  // namespace

StoreImage StoreImage::read(TDM_PersonPack& module) {
    const RowSet people =
        fetch(module, QStringLiteral("SELECT PerUUID, LoginName FROM CV_PersonInfo"));
    const RowSet depts = fetch(module, QStringLiteral("SELECT DeptID, DeptName FROM CV_DeptInfo"));
    return fromRows(people, depts);
}

StoreImage StoreImage::fromRows(const RowSet& people, const RowSet& depts) {
    StoreImage image;
    image.journaling_ = false;
    image.people_.reserve(people.rows.size());
    image.logins_.reserve(people.rows.size());
    for (const Row& row : people.rows) {
        if (!row.value(0).isNull()) image.people_.insert(valueText(row.value(0)));
        if (!row.value(1).isNull()) image.logins_.insert(valueText(row.value(1)));
    }
    for (const Row& row : depts.rows) {
        if (row.value(0).isNull()) continue;
        // A null name is found by no look-up, but its code still counts for the maximum.
        const QString code = valueText(row.value(0));
        if (row.value(1).isNull()) {
            image.addCode(code);
        } else {
            image.addDept(code, valueText(row.value(1)));
        }
    }
    image.journaling_ = true;
    return image;
}

// One look-up each: a set that grew took the text.
void StoreImage::addPerson(const QString& perUUID, const QString& loginName) {
    if (!perUUID.isNull()) {
        const qsizetype before = people_.size();
        people_.insert(perUUID);
        if (journaling_ && people_.size() != before)
            journal_.append({Change::PersonAdded, perUUID, {}, {}, {}});
    }
    if (!loginName.isNull()) {
        const qsizetype before = logins_.size();
        logins_.insert(loginName);
        if (journaling_ && logins_.size() != before)
            journal_.append({Change::LoginAdded, loginName, {}, {}, {}});
    }
}

void StoreImage::reserve(qsizetype people) {
    people_.reserve(people_.size() + people);
    logins_.reserve(logins_.size() + people);
    journal_.reserve(journal_.size() + 2 * people);
}

void StoreImage::rewind(Mark mark) {
    while (journal_.size() > mark) {
        Change change = journal_.takeLast();
        switch (change.kind) {
            case Change::PersonAdded:
                people_.remove(change.key);
                break;
            case Change::LoginAdded:
                logins_.remove(change.key);
                break;
            case Change::CodeAdded:
                codes_.remove(change.key);
                break;
            case Change::NameChanged:
                if (change.named) {
                    named_[{change.key, change.name}] = *change.named;
                } else {
                    named_.remove({change.key, change.name});
                }
                break;
            case Change::LevelChanged:
                if (change.level) {
                    levels_[change.key] = *change.level;
                } else {
                    levels_.remove(change.key);
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
        if (journaling_)
            journal_.append({Change::NameChanged,
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
        if (journaling_) journal_.append({Change::CodeAdded, code, {}, {}, {}});
    }
    // Only codes of whole levels answer the look-ups (Len(DeptID) = 4 * (level + 1)).
    const qsizetype length = characters(code);
    if (length < 4 || length % 4 != 0) return std::nullopt;
    QString parent = leftCharacters(code, length - 4);
    if (journaling_) {
        const auto found = levels_.constFind(parent);
        journal_.append({Change::LevelChanged,
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
