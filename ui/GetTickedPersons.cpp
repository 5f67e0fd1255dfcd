#include "GetTickedPersons.h"

#include <stdexcept>

#include "CheckTree.h"
#include "HostContext.h"
#include "TFramePerson.h"

namespace cv {

namespace {

bool needsDoubleQuotes(const QString& item) {
    if (item.isEmpty()) {
        return true;  // written as "" so that an empty item is never lost
    }
    for (const QChar c : item) {
        const char16_t u = c.unicode();
        if (u <= 0x20 || u == 0x7F || u == u',' || u == u'"') {
            return true;
        }
    }
    return false;
}

}  // namespace

QList<TickedPerson> TickedPersons(const CheckTree& tree) {
    QList<TickedPerson> ticked;
    bool first = true;
    tree.forEachNode([&](QTreeWidgetItem* item, int) {
        if (first) {  // the root is never listed
            first = false;
            return;
        }
        const TreeNode* node = NodeTree::asNode(item);
        if (node != nullptr && node->state == CheckTree::Checked && node->record &&
            node->record->Kind == QLatin1String("1")) {
            ticked.append({node->record->ID, node->sourceRow});
        }
    });
    return ticked;
}

QStringList TickedPersonIds(const CheckTree& tree) {
    QStringList ids;
    for (const TickedPerson& person : TickedPersons(tree)) ids.append(person.id);
    return ids;
}

QList<TickedPerson> TickedPersonsOfFrame() {
    const auto* frame = qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    return frame ? TickedPersons(*frame->CTDeptPerson) : QList<TickedPerson>();
}

QString CommaText(const QStringList& items) {
    QString text;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i > 0) {
            text += u',';
        }
        const QString& item = items[i];
        if (needsDoubleQuotes(item)) {
            text += u'"';
            text += QString(item).replace(u'"', QStringLiteral("\"\""));
            text += u'"';
        } else {
            text += item;
        }
    }
    return text;
}

QString TickedPersonsText(const QStringList& ids, int form) {
    if (form == 1) {
        return CommaText(ids);
    }
    if (form != 0) {
        throw std::invalid_argument("GetTickedPersons: form must be 0 or 1, not " +
                                    std::to_string(form));
    }
    qsizetype size = 0;
    for (const QString& id : ids) size += id.size() + 3;
    QString text;
    text.reserve(size);
    for (qsizetype i = 0; i < ids.size(); ++i) {
        if (i > 0) {
            text += QStringLiteral("','");
        }
        const QString& id = ids[i];
        if (id.contains(u'\'')) {
            text += QString(id).replace(u'\'', QStringLiteral("''"));
        } else {
            text += id;
        }
    }
    return text;
}

QString GetTickedPersons(int form) {
    if (form != 0 && form != 1) {
        return TickedPersonsText({}, form);  // throws
    }
    const auto* frame = qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    if (frame == nullptr) {
        return {};
    }
    return TickedPersonsText(TickedPersonIds(*frame->CTDeptPerson), form);
}

}  // namespace cv
