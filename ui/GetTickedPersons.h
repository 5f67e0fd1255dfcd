// The ticked people of a check tree: the ID of every node after the first (the root), in
// list order, whose state is 2 and whose record's Kind is "1". A person listed under several
// departments is listed once per ticked node.
//
// Form 1 is comma text: items joined by ",", an item holding a blank, a control character, a
// comma or a double quote enclosed in double quotes with its inner double quotes doubled.
//
// Form 0 is the list ready to stand between "('" and "')" in an SQL in-list: items joined by
// "','", each item's single quotes doubled and nothing else added. So every ticked ID is
// compared exactly as it is, and an ID holding a quote cannot end its literal or change the
// statement. For IDs without blanks, commas and quotes this is form 1 with every ","
// replaced by "','".
#pragma once

#include <QString>
#include <QStringList>

namespace cv {

class CheckTree;

QStringList TickedPersonIds(const CheckTree& tree);

// The same ticked person nodes with the row of the package's person file each was made from
// (-1 for a node not made from a file): a package may list one PerUUID on several rows, and
// the import stores the row that was ticked.
struct TickedPerson {
    QString id;
    qsizetype row = -1;
};
QList<TickedPerson> TickedPersons(const CheckTree& tree);
// Those of the frame registered as "FramePerson"; empty when there is no such frame.
QList<TickedPerson> TickedPersonsOfFrame();
// Throws std::invalid_argument for a form other than 0 and 1.
QString TickedPersonsText(const QStringList& ids, int form);
// The same text of the ticked people of `tree` (TickedPersonIds), made in one walk.
QString TickedPersonsText(const CheckTree& tree, int form);
// The text of the ticked people of `tree` sorted (by UTF-16 units) and each once: for a
// statement's IN list, which a database indexes fastest from sorted values.
QString SortedTickedPersonsText(const CheckTree& tree, int form);
// The form-`form` text of the check tree of the frame registered as "FramePerson" under the
// current application object; the empty text when there is no such frame.
QString GetTickedPersons(int form);
// The same from SortedTickedPersonsText.
QString GetSortedTickedPersons(int form);

// Comma text of `items` as described above for form 1.
QString CommaText(const QStringList& items);

}  // namespace cv
