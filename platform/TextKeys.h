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
#include <algorithm>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "TextTable.h"

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
// added. For grouping the rows of a statement by one column, a look-up per row, and for the
// identifiers of a store's image, a million of them: the table is one array of (hash,
// number) slots, at most half full and probed in place, and a text is compared only where its
// hash matches, against the groups' own copies of their texts, kept side by side in a
// TextTable (a few thousand short codes stay in the processor's caches, where the rows' texts
// would not; a million identifiers cost about their characters).
class TextGroups {
public:
    // The number of `text`, or -1 when it was never added.
    int find(QStringView text) const { return groupIn(slots_[slotOf(text, hashOf(text))]); }

    // The number of `text`, given to it now when it is new (then equal to the count before).
    // Throws std::length_error past 2^31 - 1 texts.
    int add(QStringView text) {
        reserve(1);
        return add(text, hashOf(text));
    }

    // Numbers `count` texts in turn as add() does, calling use(i, number) for text(i). For
    // texts that lie far apart in memory (one per row of a package): it reads a text and
    // then its slot some texts ahead of numbering them, so that their cache misses overlap
    // instead of following one another.
    template <typename TextAt, typename Use>
    void addEach(qsizetype count, TextAt&& text, Use&& use) {
        reserve(count);
        constexpr qsizetype Ahead = 8;
        quint32 hashes[Ahead];
        const std::size_t mask = slots_.size() - 1;
        for (qsizetype i = 0; i < std::min(count, Ahead); ++i) {
            hashes[i] = hashOf(text(i));
            __builtin_prefetch(&slots_[hashes[i] & mask]);
        }
        for (qsizetype i = 0; i < count; ++i) {
            if (i + 2 * Ahead < count) __builtin_prefetch(text(i + 2 * Ahead).data());
            const quint32 hash = hashes[i % Ahead];
            if (i + Ahead < count) {
                hashes[i % Ahead] = hashOf(text(i + Ahead));
                __builtin_prefetch(&slots_[hashes[i % Ahead] & mask]);
            }
            use(i, add(text(i), hash));
        }
    }

    // find() in parts, for a caller that looks up many texts lying far apart: it takes a
    // text's hash and fetches its slot some texts ahead of looking it up.
    static quint32 hashOf(QStringView text) {
        const std::size_t hash = TextViewHash()(text);
        return quint32(hash ^ (hash >> 32));
    }
    void prefetch(quint32 hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }
    int find(QStringView text, quint32 hash) const { return groupIn(slots_[slotOf(text, hash)]); }

    // Room for `more` texts without the slots growing on the way.
    void reserve(qsizetype more) {
        const std::size_t texts = std::size_t(texts_.size() + more);
        if (2 * texts <= slots_.size()) return;
        std::size_t size = slots_.size();
        while (2 * texts > size) size *= 2;
        std::vector<quint64> old(size, 0);
        old.swap(slots_);
        const std::size_t mask = size - 1;
        for (const quint64 slot : old) {
            if (slot == 0) continue;
            std::size_t i = (slot >> 32) & mask;
            while (slots_[i] != 0) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    int size() const { return int(texts_.size()); }
    // Valid as long as the groups.
    QStringView text(int group) const { return texts_.text(group, 0); }

private:
    // add(), with the hash of `text` taken already; the slots have room.
    int add(QStringView text, quint32 hash) {
        quint64& slot = slots_[slotOf(text, hash)];
        if (slot == 0) {
            if (texts_.size() >= std::numeric_limits<int>::max())
                throw std::length_error("too many texts to number");
            const TextTable::Cell cell{text, false};
            texts_.append(&cell);
            slot = quint64(hash) << 32 | quint64(texts_.size());
        }
        return groupIn(slot);
    }

    // A slot: the text's hash in the high half, its number + 1 in the low one (0: empty).
    static int groupIn(quint64 slot) { return int(slot & 0xFFFFFFFF) - 1; }

    // The slot of `text`, or the empty slot where it would go (the table is never full).
    std::size_t slotOf(QStringView text, quint32 hash) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const quint64 slot = slots_[i];
            if (slot == 0 || (slot >> 32 == hash && this->text(groupIn(slot)) == text)) return i;
        }
    }

    std::vector<quint64> slots_ = std::vector<quint64>(16);  // a power of two
    TextTable texts_{1};                                     // a row a group
};

}  // namespace cv
