#include "GetTickedPersons.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "CheckTree.h"
#include "HostContext.h"
#include "TFramePerson.h"

namespace cv {

namespace {

bool needsDoubleQuotes(QStringView item) {
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

void checkForm(int form) {
    if (form != 0 && form != 1) {
        throw std::invalid_argument("GetTickedPersons: form must be 0 or 1, not " +
                                    std::to_string(form));
    }
}

// `item` appended to `text` with every `quote` in it doubled.
void appendDoubling(QString& text, QStringView item, char16_t quote) {
    for (const QChar c : item) {
        text += c;
        if (c == quote) text += c;
    }
}

// `item` appended to the text of `form`, after the separator unless it is the first.
void appendItem(QString& text, QStringView item, int form, bool first) {
    if (form == 1) {
        if (!first) text += u',';
        if (needsDoubleQuotes(item)) {
            text += u'"';
            appendDoubling(text, item, u'"');
            text += u'"';
        } else {
            text += item;
        }
        return;
    }
    if (!first) text += QLatin1String("','");
    if (item.contains(u'\'')) {
        appendDoubling(text, item, u'\'');
    } else {
        text += item;
    }
}

// Calls `visit` with each ticked person node after the first (the root), in list order.
template <typename Visit>
void forEachTickedPerson(const CheckTree& tree, Visit visit) {
    const NodeModel& nodes = tree.nodes();
    for (int node = 1; node < nodes.size(); ++node) {
        if (nodes.state(node) == CheckTree::Checked && nodes.isPerson(node)) visit(nodes, node);
    }
}

// Where the ticked identifiers' characters are, in list order, with their total length: a
// later pass over them reads the characters alone, not the records again.
std::vector<QStringView> tickedIdPlaces(const CheckTree& tree, qsizetype* length) {
    std::vector<QStringView> places;
    forEachTickedPerson(tree, [&](const NodeModel& nodes, int node) {
        places.push_back(nodes.field(node, NodeRecords::ID));
        *length += places.back().size();
    });
    return places;
}

// The text of `count` items in `form`, `at(i)` giving the i-th; `length` is their total
// length, to make the text at about its size.
template <typename At>
QString textOf(std::size_t count, qsizetype length, int form, At at) {
    QString text;
    text.reserve(length + 3 * qsizetype(count));
    for (std::size_t i = 0; i < count; ++i) appendItem(text, at(i), form, i == 0);
    return text;
}

}  // namespace

QList<TickedPerson> TickedPersons(const CheckTree& tree) {
    QList<TickedPerson> ticked;
    forEachTickedPerson(tree, [&](const NodeModel& nodes, int node) {
        ticked.append({nodes.field(node, NodeRecords::ID).toString(), nodes.sourceRow(node)});
    });
    return ticked;
}

QStringList TickedPersonIds(const CheckTree& tree) {
    QStringList ids;
    forEachTickedPerson(tree, [&](const NodeModel& nodes, int node) {
        ids.append(nodes.field(node, NodeRecords::ID).toString());
    });
    return ids;
}

QList<TickedPerson> TickedPersonsOfFrame() {
    const auto* frame = qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    return frame ? TickedPersons(*frame->CTDeptPerson) : QList<TickedPerson>();
}

QString CommaText(const QStringList& items) { return TickedPersonsText(items, 1); }

QString TickedPersonsText(const QStringList& ids, int form) {
    checkForm(form);
    qsizetype length = 0;
    for (const QString& id : ids) length += id.size();
    return textOf(std::size_t(ids.size()), length, form,
                  [&](std::size_t i) { return QStringView(ids[qsizetype(i)]); });
}

// The walk lists where the identifiers are, not copies of them; the text is then made at its
// size.
QString TickedPersonsText(const CheckTree& tree, int form) {
    checkForm(form);
    qsizetype length = 0;
    const std::vector<QStringView> ids = tickedIdPlaces(tree, &length);
    return textOf(ids.size(), length, form, [&](std::size_t i) { return ids[i]; });
}

namespace {

// A ticked identifier as the sort sees it: where it stands in the buffer of all of them, and
// eight UTF-16 units of it packed into two integers, so that most comparisons decide on them
// without reading the identifier. The eight units are those after the prefix that every
// identifier shares (identifiers often begin alike: "{" of a GUID, or a fixed word).
struct SortKey {
    std::size_t at = 0;
    std::size_t size = 0;
    std::uint64_t head[2] = {0, 0};
};

// Units past the end count as 0, below every unit: a shorter identifier sorts first, as in
// the order of texts, and where a 0 unit stands in the other one the texts decide.
void packHead(SortKey& key, std::u16string_view id, std::size_t shared) {
    for (std::size_t i = 0; i < 8 && shared + i < id.size(); ++i)
        key.head[i / 4] |= std::uint64_t(id[shared + i]) << (48 - 16 * (i % 4));
}

}  // namespace

// The identifiers are copied into one buffer first, so that where the packed units do not
// decide, the comparison reads within it rather than across the records' memory.
QString SortedTickedPersonsText(const CheckTree& tree, int form) {
    checkForm(form);
    qsizetype length = 0;
    const std::vector<QStringView> found = tickedIdPlaces(tree, &length);
    std::u16string all;
    all.reserve(std::size_t(length));
    std::vector<SortKey> keys;
    keys.reserve(found.size());
    for (const QStringView id : found) {
        keys.push_back({all.size(), std::size_t(id.size())});
        all.append(id.utf16(), std::size_t(id.size()));
    }
    auto view = [&](const SortKey& key) {
        return std::u16string_view(all).substr(key.at, key.size);
    };

    std::size_t shared = keys.empty() ? 0 : keys.front().size;
    for (std::size_t i = 1; i < keys.size() && shared > 0; ++i) {
        const std::u16string_view first = view(keys.front()).substr(0, shared);
        const std::u16string_view id = view(keys[i]);
        shared = std::size_t(std::mismatch(first.begin(), first.end(), id.begin(), id.end()).first -
                             first.begin());
    }
    for (SortKey& key : keys) packHead(key, view(key), shared);
    std::sort(keys.begin(), keys.end(), [&](const SortKey& a, const SortKey& b) {
        if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
        if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
        return view(a) < view(b);
    });
    keys.erase(std::unique(keys.begin(), keys.end(),
                           [&](const SortKey& a, const SortKey& b) {
                               return a.head[0] == b.head[0] && a.head[1] == b.head[1] &&
                                      view(a) == view(b);
                           }),
               keys.end());
    return textOf(keys.size(), length, form, [&](std::size_t i) {
        const std::u16string_view id = view(keys[i]);
        return QStringView(id.data(), qsizetype(id.size()));
    });
}

QString GetTickedPersons(int form) {
    checkForm(form);
    const auto* frame = qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    return frame ? TickedPersonsText(*frame->CTDeptPerson, form) : QString();
}

QString GetSortedTickedPersons(int form) {
    checkForm(form);
    const auto* frame = qobject_cast<TFramePerson*>(findOwnedWidget(TFramePerson::InstanceName));
    return frame ? SortedTickedPersonsText(*frame->CTDeptPerson, form) : QString();
}

}  // namespace cv
