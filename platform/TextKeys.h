// Maps keyed by texts looked up as views, for the indexes that a build makes over thousands
// of short codes and identifiers (department codes), and TextGroups, which numbers the
// distinct texts of a column read row by row (PerDept texts).
//
// A TextViewMap's key is a QStringView: the text it views must outlive the entry (keep the
// QString that owns it; a QString's characters stay where they are when the QString object
// moves). TextGroups keeps copies. The hash is the standard library's string hash over the
// characters: QHash's seeded hash of a QString took more time than everything else of a
// department path.
#pragma once

#include <QString>
#include <QStringView>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cv {

// Deliberately not noexcept: libstdc++ then keeps each entry's hash in the map, so that a
// look-up compares hashes before texts and walks a bucket without hashing the texts it passes.
struct TextViewHash {
    using is_transparent = void;
    std::size_t operator()(QStringView text) const {
        return std::hash<std::u16string_view>()(
            std::u16string_view(text.utf16(), std::size_t(text.size())));
    }
};

template <typename T>
using TextViewMap = std::unordered_map<QStringView, T, TextViewHash, std::equal_to<>>;

// Numbers for texts: each distinct text gets the next number (0, 1, 2, ...) when it is first
// added. For grouping the rows of a statement by one column, a look-up per row: the table is
// one array of (hash, number) slots, probed in place, and a text is compared only where its
// whole hash matches, against the groups' own copies of their texts, kept side by side (a
// few thousand short codes stay in the processor's caches, where the rows' texts would not).
class TextGroups {
public:
    // The number of `text`, or -1 when it was never added.
    int find(QStringView text) const { return slots_[slotOf(text, TextViewHash()(text))].group; }

    // The number of `text`, given to it now when it is new (then equal to the count before).
    int add(QStringView text) {
        if (2 * (ends_.size() + 1) > slots_.size()) grow();
        const std::size_t hash = TextViewHash()(text);
        Slot& slot = slots_[slotOf(text, hash)];
        if (slot.group < 0) {
            slot = {hash, size()};
            chars_.append(text.utf16(), std::size_t(text.size()));
            ends_.push_back(chars_.size());
        }
        return slot.group;
    }

    int size() const { return int(ends_.size()); }
    // Valid until the next add.
    QStringView text(int group) const {
        const std::size_t begin = group > 0 ? ends_[std::size_t(group) - 1] : 0;
        return QStringView(chars_).mid(qsizetype(begin),
                                       qsizetype(ends_[std::size_t(group)] - begin));
    }

private:
    struct Slot {
        std::size_t hash = 0;
        int group = -1;  // -1: empty
    };

    // The slot of `text`, or the empty slot where it would go (the table is never full).
    std::size_t slotOf(QStringView text, std::size_t hash) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (slot.group < 0 || (slot.hash == hash && this->text(slot.group) == text)) return i;
        }
    }

    // Doubles the table, keeping it at most half full.
    void grow() {
        std::vector<Slot> old(2 * slots_.size());
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.group < 0) continue;
            std::size_t i = slot.hash & mask;
            while (slots_[i].group >= 0) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_ = std::vector<Slot>(16);  // a power of two
    std::u16string chars_;                             // every group's text, one after another
    std::vector<std::size_t> ends_;                    // where each group's text ends in chars_
};

}  // namespace cv
