// The records of a tree's nodes (TreeNodeData), held compactly in a TextTable: a tree of a
// million people costs about the size of its texts, not five strings per person. Records are
// added, never changed; a record is named by its number (Ref).
#pragma once

#include <QString>
#include <limits>
#include <stdexcept>
#include <vector>

#include "TextTable.h"
#include "TreeNodeData.h"

namespace cv {

class NodeRecords {
public:
    using Ref = quint32;
    static constexpr Ref None = ~Ref(0);
    enum Field { ID, Kind, NameOrLogin, PersonName, Sex };

    // `sourceRow`: the row of the dataset file the record was made from, or -1.
    Ref add(QStringView id, QStringView kind, QStringView nameOrLogin, QStringView personName,
            QStringView sex, qsizetype sourceRow = -1) {
        if (table_.size() >= qsizetype(None) || sourceRow > std::numeric_limits<qint32>::max())
            throw std::length_error("a tree record out of range");
        const TextTable::Cell cells[] = {{id}, {kind}, {nameOrLogin}, {personName}, {sex}};
        table_.append(cells);
        if (sourceRow >= 0 && rows_.empty()) rows_.assign(std::size_t(table_.size() - 1), -1);
        if (!rows_.empty()) rows_.push_back(qint32(std::max<qsizetype>(sourceRow, -1)));
        return Ref(table_.size() - 1);
    }
    Ref add(const TreeNodeData& data, qsizetype sourceRow = -1) {
        return add(data.ID, data.Kind, data.NameOrLogin, data.PersonName, data.Sex, sourceRow);
    }
    // A copy of `record` of `other`.
    Ref add(const NodeRecords& other, Ref record) {
        if (table_.size() >= qsizetype(None)) throw std::length_error("too many tree records");
        table_.append(other.table_, record);
        if (!other.rows_.empty() && rows_.empty()) rows_.assign(std::size_t(table_.size() - 1), -1);
        if (!rows_.empty()) rows_.push_back(qint32(other.sourceRow(record)));
        return Ref(table_.size() - 1);
    }

    QStringView field(Ref record, Field field) const { return table_.text(record, field); }
    TreeNodeData data(Ref record) const {
        const auto text = [&](Field f) { return field(record, f).toString(); };
        return {text(ID), text(Kind), text(NameOrLogin), text(PersonName), text(Sex)};
    }
    bool isPerson(Ref record) const { return field(record, Kind) == u"1"; }
    qsizetype sourceRow(Ref record) const { return rows_.empty() ? -1 : rows_[record]; }
    qsizetype size() const { return table_.size(); }

private:
    TextTable table_{5};
    std::vector<qint32> rows_;  // empty while no record came from a file
};

}  // namespace cv
