#include "TextTable.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace cv {

// A row in its block: the length of each cell, then the cells' characters. A length below
// 0x7FFF takes one unit, a longer one two (the first with its high bit set); the unit 0x7FFF
// alone is a null.
namespace {

constexpr char16_t NullUnit = 0x7FFF;

std::size_t lengthUnits(const TextTable::Cell& cell) {
    return cell.null || cell.text.size() < NullUnit ? 1 : 2;
}

char16_t* putLength(char16_t* out, const TextTable::Cell& cell) {
    const qsizetype length = cell.text.size();
    if (cell.null) {
        *out++ = NullUnit;
    } else if (length < NullUnit) {
        *out++ = char16_t(length);
    } else {
        *out++ = char16_t(0x8000 | (length >> 16));
        *out++ = char16_t(length & 0xFFFF);
    }
    return out;
}

// The length of the cell at `in` (0 for a null), and where the next length begins.
const char16_t* getLength(const char16_t* in, qsizetype& length, bool& null) {
    null = *in == NullUnit;
    if (*in < 0x8000) {
        length = null ? 0 : *in;
        return in + 1;
    }
    length = (qsizetype(*in & 0x7FFF) << 16) | in[1];
    return in + 2;
}

}  // namespace

char16_t* TextTable::reserve(std::size_t units) {
    if (blocks_.empty() || capacity_ - used_ < units) {
        if (blocks_.size() >= std::numeric_limits<quint32>::max())
            throw std::length_error("a text table of too many blocks");
        const std::size_t size = std::max(units, BlockUnits);
        blocks_.push_back(std::make_unique_for_overwrite<char16_t[]>(size));
        used_ = 0;
        capacity_ = size;
    }
    return blocks_.back().get() + used_;
}

void TextTable::append(const Cell* cells) {
    std::size_t units = 0;
    for (int c = 0; c < columns_; ++c) {
        if (cells[c].text.size() > std::numeric_limits<qint32>::max())
            throw std::length_error("a text of 2^31 characters or more");
        units += lengthUnits(cells[c]) + std::size_t(cells[c].null ? 0 : cells[c].text.size());
    }
    char16_t* out = reserve(units);
    places_.push_back((quint64(blocks_.size() - 1) << 32) | used_);
    for (int c = 0; c < columns_; ++c) out = putLength(out, cells[c]);
    for (int c = 0; c < columns_; ++c)
        if (!cells[c].null) out = std::copy_n(cells[c].text.utf16(), cells[c].text.size(), out);
    used_ += units;
}

void TextTable::append(const TextTable& other, qsizetype row) {
    const char16_t* from = other.rowAt(row);
    const char16_t* in = from;
    std::size_t units = 0;
    for (int c = 0; c < columns_; ++c) {
        qsizetype length;
        bool null;
        in = getLength(in, length, null);
        units += std::size_t(length);
    }
    units += std::size_t(in - from);
    char16_t* out = reserve(units);
    places_.push_back((quint64(blocks_.size() - 1) << 32) | used_);
    std::copy_n(from, units, out);
    used_ += units;
}

const char16_t* TextTable::rowAt(qsizetype row) const {
    const quint64 place = places_[std::size_t(row)];
    return blocks_[place >> 32].get() + (place & 0xFFFFFFFF);
}

TextTable::Cell TextTable::cell(qsizetype row, int column) const {
    const char16_t* in = rowAt(row);
    qsizetype before = 0;
    qsizetype length = 0;
    bool null = false;
    for (int c = 0; c <= column; ++c) {
        before += length;
        in = getLength(in, length, null);
    }
    for (int c = column + 1; c < columns_; ++c) {
        qsizetype skipped;
        bool skippedNull;
        in = getLength(in, skipped, skippedNull);
    }
    return {QStringView(in + before, length), null};
}

}  // namespace cv
