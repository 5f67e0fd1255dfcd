#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <vector>

#include "DataSet.h"

namespace cv {

class Connection;

// The rows of a statement as texts, for readers that only show them (the trees): for each
// value the text valueText gives of the value Query::open reads, a NULL told apart, all of
// them in one flat list, with no QVariant per value and no list per row.
class TextRows {
public:
    const QList<FieldDef>& fields() const { return shape_.fields; }
    int indexOf(const QString& name) const { return shape_.indexOf(name); }  // case ignored
    // Rows read, those let go included (see readTextRows).
    qsizetype size() const {
        return dropped_ + (columns_ > 0 ? qsizetype(texts_.size()) / columns_ : 0);
    }
    const QString& text(qsizetype row, int column) const { return texts_[at(row, column)]; }
    bool isNull(qsizetype row, int column) const { return nulls_[at(row, column)]; }
    // Moves a text out, leaving the empty text (its null flag stays): for a reader that uses
    // each text once and keeps it, so the rows need not be copied and then released.
    QString take(qsizetype row, int column) { return std::move(texts_[at(row, column)]); }

    // The texts of rows read already.
    static TextRows of(const RowSet& rows);

private:
    friend TextRows readTextRows(Connection* connection, const QString& hostSql,
                                 const std::function<void(TextRows&, qsizetype)>& onRow,
                                 bool keepRows);
    void setFields(const QList<FieldDef>& fields);
    void append(QString text, bool null) {
        texts_.push_back(std::move(text));
        nulls_.push_back(null);
    }
    std::size_t at(qsizetype row, int column) const {
        return std::size_t((row - dropped_) * columns_ + column);
    }
    void dropRows() {
        dropped_ = size();
        texts_.clear();
        nulls_.clear();
    }

    RowSet shape_;  // the fields alone
    qsizetype columns_ = 0;
    qsizetype dropped_ = 0;       // rows let go, before those held
    std::vector<QString> texts_;  // row after row
    std::vector<bool> nulls_;
};

// The rows of `hostSql`: read from SQLite's own statement, or else the rows of Query::open.
// Throws DbError as Query::open does. `onRow`, when given, is called with the rows and the
// number of each row as soon as it is in them, so that a reader looks at a row while its
// texts are fresh in the processor's caches; it may take texts out of it. Without
// `keepRows`, each row is let go once `onRow` has seen it: a reader that keeps what it needs
// of the rows then never holds all of them.
using TextRowObserver = std::function<void(TextRows& rows, qsizetype row)>;
TextRows readTextRows(Connection* connection, const QString& hostSql,
                      const TextRowObserver& onRow = {}, bool keepRows = true);

}  // namespace cv
