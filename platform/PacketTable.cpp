#include "PacketTable.h"

#include "TextKeys.h"

namespace cv {

class PacketTableSink final : public PacketRowSink {
public:
    explicit PacketTableSink(PacketTable& table) : table_(table) {}

    void start(const QList<FieldDef>& fields) override {
        table_.fields_ = fields;
        table_.rows_ = TextTable(int(fields.size()));
        cells_.resize(std::size_t(fields.size()));
        texts_.resize(std::size_t(fields.size()));
    }

    // A text value is viewed where the reader holds it; another one is made text first.
    void row(const std::vector<int>& columns, std::vector<QVariant>& values) override {
        std::fill(cells_.begin(), cells_.end(), TextTable::Cell{{}, true});
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const QVariant& value = values[i];
            const std::size_t column = std::size_t(columns[i]);
            if (value.isNull()) continue;
            if (value.metaType() == QMetaType::fromType<QString>()) {
                cells_[column] = {*static_cast<const QString*>(value.constData())};
            } else {
                texts_[column] = valueText(value);
                cells_[column] = {texts_[column]};
            }
        }
        table_.rows_.append(cells_.data());
    }

private:
    PacketTable& table_;
    std::vector<TextTable::Cell> cells_;
    std::vector<QString> texts_;
};

PacketTable PacketTable::read(const QString& path, const DataPacketLimits& limits) {
    PacketTable table;
    PacketTableSink sink(table);
    readDataPacket(path, sink, limits);
    return table;
}

int PacketTable::indexOf(const QString& name) const {
    for (qsizetype i = 0; i < fields_.size(); ++i)
        if (fields_[i].name.compare(name, Qt::CaseInsensitive) == 0) return int(i);
    return -1;
}

quint32 PacketTable::hashOf(QStringView text) { return quint32(TextViewHash()(text)); }

// Open addressing over a table at most half full; a text is compared only where its hash
// matches.
qsizetype PacketTable::find(int field, QStringView text) const {
    auto index = std::find_if(indexes_.begin(), indexes_.end(),
                              [field](const Index& made) { return made.field == field; });
    if (index == indexes_.end()) {
        Index made{field, {}};
        std::size_t count = 16;
        while (count < 2 * std::size_t(size())) count *= 2;
        made.entries.assign(count, 0);
        for (qsizetype row = 0; row < size(); ++row) {
            if (isNull(row, field)) continue;
            const QStringView cell = this->text(row, field);
            const quint64 hash = hashOf(cell);
            for (std::size_t i = hash & (count - 1);; i = (i + 1) & (count - 1)) {
                const quint64 slot = made.entries[i];
                if (slot == 0) {
                    made.entries[i] = hash << 32 | quint64(row + 1);
                    break;
                }
                // The first row of a text keeps it.
                if (slot >> 32 == hash &&
                    this->text(qsizetype(slot & 0xFFFFFFFF) - 1, field) == cell)
                    break;
            }
        }
        indexes_.push_back(std::move(made));
        index = indexes_.end() - 1;
    }
    const std::size_t mask = index->entries.size() - 1;
    const quint64 hash = hashOf(text);
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        const quint64 slot = index->entries[i];
        if (slot == 0) return -1;
        const qsizetype row = qsizetype(slot & 0xFFFFFFFF) - 1;
        if (slot >> 32 == hash && this->text(row, field) == text) return row;
    }
}

}  // namespace cv
