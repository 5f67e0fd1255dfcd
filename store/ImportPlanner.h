// What the import does with each item of a package, decided against a StoreImage by the
// person store's rules and nothing else: present already, a login name that clashes and what
// it becomes (drawn from a copy of the generator's seed), the department walk and the
// departments it creates, and the person's row as it will be stored. Planning writes nothing
// and asks the store only where the image cannot answer (DeptQuestions); it changes the image
// as if the plan were carried out, so that each item is decided after the ones before it.
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <utility>

#include "DeptPathPlan.h"
#include "StoreImage.h"
#include "TCVPersonInfo.h"

namespace cv {

// One item of an import: a ticked person, or a department row of the last pass.
struct ImportItem {
    enum class Kind { Person, DeptRow };
    Kind kind = Kind::Person;
    // Person: the row's values as the import reads them (PerDept the package's code).
    TCVPersonInfo person;
    // Person: why it cannot be imported before any rule runs (no row in the person file,
    // no PerUUID); empty otherwise.
    QString unreadable;
    // The department path the package gives: for the person's PerDept ("" when it names
    // none), or the row's own (DeptRow).
    QString deptPath;
    QString deptCode;  // DeptRow: the row's code
};

struct ItemPlan {
    enum class Outcome {
        Present,      // stored already
        Inserted,     // stored with the package's login name
        Renamed,      // stored with another login name; a rename line goes first
        NotStored,    // not stored, for `reason` (a rename line may still go first)
        Departments,  // a department row: its missing departments created
        Stop,         // the store's departments break the rules: the import ends after `creates`
    };
    Outcome outcome = Outcome::NotStored;
    TCVPersonInfo person;  // the row as stored (login name and PerDept of this installation)
    QString packageLoginName;
    bool loginTaken = false;  // the package's login name was taken (renamed, or no name left)
    bool renameLine = false;  // "要导入的注册名...": the person was renamed
    int drawn = -1;           // a preview's renamed person: the number drawn for the name
    QList<DeptPathPlan::NewDept> creates;  // stored in this order, before the person
    // Where the walk stopped short: the department it looked in (a code; empty for the top
    // level; null when the walk completed), whose level another writer may yet fill.
    QString stoppedUnder;
    QString stoppedAt;  // the name the walk did not find there
    bool insertPerson = false;
    QString reason;  // NotStored, Stop

    // Where the image and the generator stood, so that what the store then refuses of this
    // plan can be taken back: before the item, before each create, before the person.
    StoreImage::Mark before = 0;
    QList<StoreImage::Mark> beforeCreate;
    StoreImage::Mark beforePerson = 0;
    std::uint32_t seedBefore = 0;  // the generator before this item drew
    std::uint32_t seedAfter = 0;   // the generator once this item has drawn

    QString renameMessage() const;
};

class ImportLimits;

class ImportPlanner {
public:
    // Plans against `image` (changed as each plan is made) with the generator at `seed`, in
    // the networked or the local form of the department walk; a write that `limits` foretell
    // the store refuses (none when null) is planned as the store would answer it.
    ImportPlanner(StoreImage& image, std::uint32_t seed, bool networked, DeptQuestions ask,
                  const ImportLimits* limits = nullptr);
    ImportPlanner(const ImportPlanner&) = delete;  // its questions count into it
    ImportPlanner& operator=(const ImportPlanner&) = delete;

    ItemPlan plan(const ImportItem& item);

    // The numbers of an item's PerUUID and login name in the image (StoreImage::personKey and
    // loginKey), for a caller that plans the same items again and again; and the code its
    // department path comes to when the image found every level before any plan (null: the
    // walk is made). That answer holds for every plan after: a plan adds a department only
    // where its name is missing, and never takes back what the image held before it.
    // And whether the values stored as the package gives them surely fit their columns
    // (ImportLimits::packageValuesFit, asked once), the login name too, as given and as drawn
    // for: then only the department code is measured.
    // And what the decision reads of the item itself, so that a person whose walk is known
    // is decided without touching its item (100,000 items lie 250 bytes apart: each would be
    // a miss of its own).
    struct Keys {
        StoreImage::Key person = -1;
        StoreImage::Key login = -1;
        QString dept;
        bool packageValuesFit = false;
        bool loginFits = false;
        bool drawnFits = false;
        bool unreadable = false;  // the item's `unreadable` is not empty
        bool noPerUUID = false;   // its PerUUID is null
    };
    // The keys of `item` that are not numbers in the image: `unreadable` and `noPerUUID`.
    static void readItem(const ImportItem& item, Keys& keys);
    // What a department walk of `item` reads, for remembering where it ended: its path, known
    // by where the path's characters lie (the people of one department share its text; a
    // copy of the same path is walked again, to the same end), its length, and the levels of
    // the old code, which is all of the old code a walk reads.
    using WalkKey = std::pair<const QChar*, quint64>;
    static WalkKey walkKey(const ImportItem& item);
    // As plan(), for a plan that is shown and not carried out, asking the image by `keys`:
    // the person's row is not copied, nor any text of the person's read that the decision
    // does not need. `person` holds only the department code it would be stored with (for a
    // person stored); the login name is the package's, or for a renamed person
    // DrawnLoginName(the package's, `drawn`), for the caller to make; packageLoginName is
    // not set.
    ItemPlan preview(const ImportItem& item, const Keys& keys);

    std::uint32_t seed() const { return seed_; }
    void setSeed(std::uint32_t seed) { seed_ = seed; }
    // The preview keeps the department walks that found every level in the image without
    // asking the store: the image only grows from one plan to the next, and a name found
    // once at a level is never added there again, so such a walk ends the same way until
    // the image is rewound. Call after rewinding the image.
    void forgetWalks() { walked_.clear(); }
    StoreImage& image() { return image_; }

private:
    ItemPlan planPerson(const ImportItem& item, const Keys* keys);
    void planDepartments(ItemPlan& plan, const QString& path, const QString& oldCode);

    StoreImage& image_;
    std::uint32_t seed_;
    bool networked_;
    DeptQuestions ask_;
    const ImportLimits* limits_;
    quint64 questions_ = 0;           // asked of the store so far
    QHash<WalkKey, QString> walked_;  // by walkKey
};

}  // namespace cv
