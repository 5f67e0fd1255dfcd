// A data packet's rows held compactly (TextTable), read straight from the file without a
// dataset in between: what a package's person file costs is about its size on disk, not a
// QVariant per row and a QString per value. Each cell is the text the dataset would give for
// the value (valueText: a value of another field type as that type reads back), or null.
//
// A table is read once and not changed; its texts are views that stay valid as long as it.
#pragma once

#include <QList>
#include <QString>
#include <vector>

#include "DataPacket.h"
#include "TextTable.h"

namespace cv {

class PacketTable {
public:
    PacketTable() = default;
    // Refuses what readDataPacket refuses, the same way (DataPacketError).
    static PacketTable read(const QString& path,
                            const DataPacketLimits& limits = DataPacketLimits());

    const QList<FieldDef>& fields() const { return fields_; }
    // The field called `name`, letter case ignored; -1 when there is none.
    int indexOf(const QString& name) const;
    qsizetype size() const { return rows_.size(); }

    QStringView text(qsizetype row, int field) const { return rows_.text(row, field); }
    bool isNull(qsizetype row, int field) const { return rows_.isNull(row, field); }

    // The first row whose `field` holds `text` (a null holds no text), or -1. The first look-up
    // in a field indexes it: one pass, and a few bytes a row.
    qsizetype find(int field, QStringView text) const;

private:
    friend class PacketTableSink;
    // Each slot: the row + 1 (0: empty) in the low half, the text's hash in the high one.
    struct Index {
        int field = -1;
        std::vector<quint64> entries;
    };
    static quint32 hashOf(QStringView text);

    QList<FieldDef> fields_;
    TextTable rows_;
    mutable std::vector<Index> indexes_;
};

}  // namespace cv
