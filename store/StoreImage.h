// What an import can meet in the store, read once: the PerUUID and login name of every
// person, and every department. The import decides each person against this image instead
// of asking the store person by person, and adds to it what it stores.
//
// The image answers the questions of the person store's statements the way the store
// answers them: texts compare exactly (the host's columns are plain varchar, where equal
// means the same characters), and code lengths and prefixes count characters, as Len and
// Left do. Two questions only the store can answer, and the image says so instead of
// guessing: which department the store returns first when several of one name stand at one
// level under one parent, and the greatest code of a level that holds codes other than
// decimal digits (text order then follows the store's collation).
#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

#include "DataSet.h"
#include "TextKeys.h"

namespace cv {

class TDM_PersonPack;

class StoreImage {
public:
    using Key = qint32;

private:
    // A set of texts held as numbers (TextGroups: a million identifiers cost about their
    // characters): a text met once keeps its number, and being in the set is a flag per
    // number, so taking a text back out is clearing its flag.
    class TextSet {
    public:
        Key id(QStringView text) {
            const Key id = texts_.add(text);
            if (std::size_t(id) == present_.size()) present_.push_back(false);
            return id;
        }
        template <typename TextAt, typename Use>
        void idEach(qsizetype count, TextAt&& text, Use&& use) {
            texts_.addEach(count, text, [&](qsizetype i, Key id) {
                if (std::size_t(id) == present_.size()) present_.push_back(false);
                use(i, id);
            });
        }
        Key find(QStringView text) const { return texts_.find(text); }
        const TextGroups& texts() const { return texts_; }
        Key size() const { return texts_.size(); }
        QStringView text(Key id) const { return texts_.text(id); }
        bool contains(QStringView text) const { return contains(find(text)); }
        bool contains(Key id) const { return id >= 0 && present_[std::size_t(id)]; }
        // False when it was in the set already.
        bool add(Key id) {
            if (present_[std::size_t(id)]) return false;
            present_[std::size_t(id)] = true;
            return true;
        }
        void remove(Key id) { present_[std::size_t(id)] = false; }
        void reserve(qsizetype more) {
            texts_.reserve(more);
            present_.reserve(present_.size() + std::size_t(more));
        }

    private:
        TextGroups texts_;
        std::vector<bool> present_;
    };

    // A set of numbers, held as TextSet holds texts: a number met once keeps its place, and
    // being in the set is a flag per place.
    class NumberSet {
    public:
        Key id(quint64 value);
        Key find(quint64 value) const { return slots_[slotOf(value)].second; }
        bool contains(quint64 value) const {
            const Key id = find(value);
            return id >= 0 && present_[std::size_t(id)];
        }
        bool add(Key id) {
            if (present_[std::size_t(id)]) return false;
            present_[std::size_t(id)] = true;
            return true;
        }
        void remove(Key id) { present_[std::size_t(id)] = false; }

    private:
        std::size_t slotOf(quint64 value) const;
        // (value, place), place -1 where empty; at most half full, a power of two long.
        std::vector<std::pair<quint64, Key>> slots_ =
            std::vector<std::pair<quint64, Key>>(16, {0, -1});
        std::vector<bool> present_;
    };

public:
    // The rows of the image as the store answers them: (PerUUID, LoginName) of every person,
    // (DeptID, DeptName) of every department. Through the data module in the current working
    // style; throws DbError when the store refuses.
    struct Rows {
        RowSet people;
        RowSet depts;
    };
    static Rows fetch(TDM_PersonPack& module);
    static RowSet fetchPeople(TDM_PersonPack& module);
    static RowSet fetchDepts(TDM_PersonPack& module);

    // Reads the image through the data module in the current working style: one statement
    // for the people, one for the departments. Throws DbError when the store refuses.
    static StoreImage read(TDM_PersonPack& module);
    // The image of these rows: people as (PerUUID, LoginName), departments as (DeptID,
    // DeptName); a null value is a value no statement finds.
    static StoreImage fromRows(const RowSet& people, const RowSet& depts);

    // The texts that a plan of known people will ask about, numbered before the store is
    // read (on another thread while the store answers): their PerUUIDs and login names. The
    // numbers stay theirs in the image made with them.
    class Asked {
    public:
        Key person(QStringView perUUID) { return people_.id(perUUID); }
        Key login(QStringView loginName) { return logins_.id(loginName); }
        // Numbers `count` PerUUIDs (login names) in turn, text(i) the i-th, as person() and
        // login() would, calling use(i, number): faster for texts far apart in memory.
        template <typename TextAt, typename Use>
        void people(qsizetype count, TextAt&& text, Use&& use) {
            people_.idEach(count, text, use);
        }
        template <typename TextAt, typename Use>
        void logins(qsizetype count, TextAt&& text, Use&& use) {
            logins_.idEach(count, text, use);
        }

        // Which of these texts the store's people hold, from its rows (PerUUID, LoginName):
        // the PerUUIDs, and the login names with the names drawn for them. The two may run on
        // two threads at once; no text is numbered after them.
        void findPeople(const RowSet& people);
        void findLogins(const RowSet& people);

    private:
        friend class StoreImage;
        // Notes which of the login names numbered so far are names drawn for another of them.
        void findDrawn();

        TextSet people_;
        TextSet logins_;
        std::vector<qint64> drawnAs_;  // by login name: see StoreImage::drawnAs_
        NumberSet drawn_;
    };
    // The image as far as a plan of the `asked` people can tell, made from the same rows at
    // a fraction of the cost of the whole: of the store's people it keeps the asked PerUUIDs
    // and login names, and the names the generator can draw for an asked login name (that
    // name, "_" and a number from 1000), which a renamed person's candidates are checked
    // against; every department.
    // A question about any other text of a person answers as if nobody held it: ask by the
    // asked numbers, and about a drawn name by its number and the asked login name it was
    // drawn for (hasDrawn).
    static StoreImage fromRows(const RowSet& people, const RowSet& depts, Asked asked);
    // The same, of the image of the departments alone (fromRows({}, depts)) and of asked
    // texts that have found the store's people.
    static StoreImage fromParts(StoreImage depts, Asked asked);

    bool hasPerson(QStringView perUUID) const { return people_.contains(perUUID); }
    bool hasLogin(QStringView loginName) const { return logins_.contains(loginName); }
    // A person stored now; a null text (a NULL of the store) is left out, as no statement
    // finds it.
    void addPerson(const QString& perUUID, const QString& loginName);

    // A text's number in the image, for asking about it again without hashing it: a plan
    // made again and again over the same people (the preview's, on every tick) takes the
    // numbers of their PerUUIDs and login names once. A number stays the text's for the
    // image's life, whatever is added and taken back; a null text has the number of "".
    Key personKey(QStringView perUUID) { return people_.id(perUUID); }
    Key loginKey(QStringView loginName) {
        const Key id = logins_.id(loginName);
        if (restricted_) findDrawn(logins_, drawnAs_);
        return id;
    }
    bool hasPerson(Key perUUID) const { return people_.contains(perUUID); }
    bool hasLogin(Key loginName) const {
        const qint64 drawn = drawnAs(loginName);
        return drawn >= 0 ? drawn_.contains(quint64(drawn)) : logins_.contains(loginName);
    }
    // As addPerson above; -1 leaves a text out.
    void addPerson(Key perUUID, Key loginName);

    // In an image made for asked people: whether the name drawn with `number` for the asked
    // login name numbered `base` (DrawnLoginName) is held, without making its text; and a
    // person stored under that name.
    bool hasDrawn(Key base, int number) const { return drawn_.contains(drawnPair(base, number)); }
    void addPersonDrawn(Key perUUID, Key base, int number);

    struct Answer {
        enum Kind { None, Found, AskStore };
        Kind kind = None;
        QString code;
    };
    // The department called `name` one level below `parent` (a code; empty for the top
    // level): its code when exactly one answers, AskStore when several do.
    Answer findDept(const QString& parent, const QString& name) const;
    // The greatest code one level below `parent`: None when the level is empty, AskStore when
    // it holds a code that is not all decimal digits (with the greatest by text order, which
    // the store's collation may not share).
    Answer maximumDept(const QString& parent) const;
    void addDept(const QString& code, const QString& name);
    // A department whose DeptName is NULL: no look-up finds it, but its code counts.
    void addNamelessDept(const QString& code) { addCode(code); }
    bool hasDept(const QString& code) const { return codes_.contains(code); }

    // Every change since a mark can be taken back: a plan adds to the image what it means to
    // store, and a part of it the store then refuses is taken back out. forget() drops what
    // could be taken back (the window was committed).
    using Mark = qsizetype;
    Mark mark() const { return Mark(journal_.size()); }
    void rewind(Mark mark);
    void forget() {
        journal_.clear();
        deptJournal_.clear();
    }

    // Characters (code points) in `text`, and its first `count` characters.
    static qsizetype characters(const QString& text);
    static QString leftCharacters(const QString& text, qsizetype count);

private:
    struct Named {
        QString code;  // the first one added
        int count = 0;
    };
    struct Level {
        QString maximum;
        bool decimal = true;  // every code of the level is decimal digits only
    };

    // A change to the departments, and what stood before it.
    struct DeptChange {
        enum Kind { CodeAdded, NameChanged, LevelChanged } kind;
        QString key;
        QString name;                // Name: the name of the (key, name) pair
        std::optional<Named> named;  // Name: before, none when the pair was new
        std::optional<Level> level;  // Level: before, none when the level was new
    };
    // One change, in the order they were made: a person's texts by number (most of them),
    // a department's change by its place in deptJournal_.
    struct Change {
        enum Kind : quint8 { PersonAdded, LoginAdded, DrawnAdded, Dept } kind;
        Key id;
    };

    TextSet people_;
    TextSet logins_;
    // In an image made for asked people, the drawn names held: (the number of the asked login
    // name drawn for, the drawn number). A login name that is itself such a name, by its
    // number, is held there and not in logins_; drawnAs_ gives its pair (-1: none).
    NumberSet drawn_;
    std::vector<qint64> drawnAs_;
    bool restricted_ = false;  // made for asked people
    QSet<QString> codes_;
    QHash<std::pair<QString, QString>, Named> named_;  // (parent, name)
    QHash<QString, Level> levels_;                     // by parent
    std::vector<Change> journal_;
    std::vector<DeptChange> deptJournal_;
    bool journaling_ = true;

    void journal(DeptChange change);
    static quint64 drawnPair(Key base, int number) { return quint64(base) << 14 | quint64(number); }
    qint64 drawnAs(Key loginName) const {
        return std::size_t(loginName) < drawnAs_.size() ? drawnAs_[std::size_t(loginName)] : -1;
    }
    void addLogin(Key loginName);
    // Extends `drawnAs` to every text of `logins`.
    static void findDrawn(const TextSet& logins, std::vector<qint64>& drawnAs);
    void addDrawn(quint64 pair);
    void addDepts(const RowSet& depts);

    // Counts `code` in its level; answers its parent, nothing for a code of no whole level.
    std::optional<QString> addCode(const QString& code);
};

}  // namespace cv
