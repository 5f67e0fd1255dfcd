// Rows of texts held compactly: each row's cells side by side in large blocks of characters,
// a cell costing its characters and a unit or two for its length (or its null), not a string
// and an allocation per value. Rows are appended, never changed; what the table hands out are
// views into its blocks, valid as long as the table (blocks never move).
#pragma once

#include <QStringView>
#include <memory>
#include <vector>

namespace cv {

class TextTable {
public:
    struct Cell {
        QStringView text;
        bool null = false;
    };

    explicit TextTable(int columns = 0) : columns_(columns) {}

    int columns() const { return columns_; }
    qsizetype size() const { return qsizetype(places_.size()); }

    // Appends a row of columns() cells. Throws std::length_error for a cell of 2^31 characters
    // or more, or a table of 2^32 blocks.
    void append(const Cell* cells);
    // Appends a copy of row `row` of `other`, which has as many columns.
    void append(const TextTable& other, qsizetype row);
    Cell cell(qsizetype row, int column) const;
    QStringView text(qsizetype row, int column) const { return cell(row, column).text; }
    bool isNull(qsizetype row, int column) const { return cell(row, column).null; }

private:
    // Characters are kept in blocks of this many; a row larger than a block gets one of its
    // own. Where a row begins: its block in the high half, its offset in the low one.
    static constexpr std::size_t BlockUnits = std::size_t(1) << 20;

    char16_t* reserve(std::size_t units);
    const char16_t* rowAt(qsizetype row) const;

    int columns_;
    std::vector<std::unique_ptr<char16_t[]>> blocks_;
    std::size_t used_ = 0;      // of the last block
    std::size_t capacity_ = 0;  // of the last block
    std::vector<quint64> places_;
};

}  // namespace cv
