// An in-memory dataset with a cursor: the dataset engine of the host's platform. It opens
// through a provider (a named provider of the application server, or a local provider over a
// query dataset), edits rows, applies appended rows back, and saves to and loads from an XML
// data packet.
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>

#include "DataSet.h"

namespace cv {

class ConnectionBroker;
class Query;
class StagedFile;

class DataPacketError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A data packet that cannot be written because of one row: its `row` (index in the dataset's
// storage order) holds `bytes` bytes as written, more than `limit`, mostly in `field` (index).
class DataPacketValueError : public DataPacketError {
public:
    DataPacketValueError(const std::string& what, qsizetype row, int field, qint64 bytes,
                         qint64 limit)
        : DataPacketError(what), row(row), field(field), bytes(bytes), limit(limit) {}
    qsizetype row;
    int field;
    qint64 bytes;
    qint64 limit;
};

// Hands the rows of its source query to client datasets: opens the source on the statement
// it holds at that moment when it is not open, copies its rows, and closes it again if it
// opened it.
class DataSetProvider {
public:
    explicit DataSetProvider(Query* source) : source_(source) {}
    RowSet rows();
    Query* source() const { return source_; }

private:
    Query* source_;
};

class ClientDataSet {
public:
    explicit ClientDataSet(QString name = {});

    const QString& name() const { return name_; }

    // Where open() takes rows from: a broker with a provider name, or a local provider.
    void setRemoteServer(ConnectionBroker* broker) { broker_ = broker; }
    ConnectionBroker* remoteServer() const { return broker_; }
    void setProviderName(const QString& provider) { provider_ = provider; }
    const QString& providerName() const { return provider_; }
    void setLocalProvider(DataSetProvider* provider) { localProvider_ = provider; }
    void setCommandText(const QString& sql) { commandText_ = sql; }
    const QString& commandText() const { return commandText_; }

    void open();  // throws DbError when there is no provider or it fails
    void close();
    bool active() const { return active_; }

    // Field definitions and rows replaced by a copy of another dataset's, cursor on the first
    // row. The copy is active.
    void copyDataFrom(const ClientDataSet& other);
    void setData(RowSet data);
    const RowSet& data() const { return data_; }
    const QList<FieldDef>& fields() const { return data_.fields; }
    int fieldIndex(const QString& name) const;  // letter case ignored; -1 when missing

    // Cursor over the visible rows (index order, filter applied).
    int recordCount() const;
    bool eof() const;
    bool bof() const;
    void first();
    void next();
    void last();

    // Where the current row stands in data(): the row's number in the file it was loaded
    // from, whatever the index and filter. Throws DbError when there is no current row.
    qsizetype rowNumber() const { return currentRow(); }

    // The current row's values; throw DbError for an unknown field or when there is no
    // current row.
    QVariant value(const QString& field) const;
    QString text(const QString& field) const { return valueText(value(field)); }
    bool isNull(const QString& field) const { return value(field).isNull(); }

    // Editing: append() adds an empty row and makes it current; edit() puts the current row
    // in edit state; setValue changes the row being edited, converting the value to the
    // field's type (DbError for an unknown field, no row in edit state or a value that does
    // not convert); post() ends the edit. Moving the cursor posts first.
    void append();
    void edit();
    void setValue(const QString& field, const QVariant& value);
    void post();
    // Rows appended since the dataset was opened.
    RowSet pendingInserts() const;
    // Sends the pending inserts to the remote server; returns the count of refused records.
    // Afterwards nothing is pending; when the apply throws, every insert stays pending.
    int applyUpdates(int maxErrors);

    // Moves to the first visible row whose `field` text equals `value` exactly (a null matches
    // no text); a hash look-up, not a scan. Throws DbError for an unknown field.
    bool locate(const QString& field, const QString& value);

    // Orders the rows by the given field names (separated by ";"), as text, stably.
    void setIndexFieldNames(const QString& names);
    // "F=NULL" or "F='text'" (inner quotes doubled); an empty expression shows every row.
    // Throws DbError for any other form. Evaluated through a hash index, not a scan. Like
    // "F=''", "F='text'" matches no null. Filtering is on until setFiltered(false); neither
    // call changes the other's setting.
    void setFilter(const QString& expression);
    void setFiltered(bool on);

    // XML data packet (UTF-8). Save writes to a temporary name and renames it into place.
    void saveToFile(const QString& path) const;  // throws DataPacketError
    // Writes into a staged file that the caller commits (with others) or abandons.
    void saveToFile(StagedFile& file) const;  // throws DataPacketError
    // Refuses anything that is not a well-formed data packet: throws DataPacketError.
    void loadFromFile(const QString& path);

private:
    struct Filter {
        QString field;
        bool null = false;  // "F=NULL"; otherwise "F='text'"
        QString text;
    };
    // Rows of one field by their text, in index order: what a filter shows.
    struct Buckets {
        QHash<QString, QList<qsizetype>> rows;
        QList<qsizetype> nulls;
    };

    int requireField(const QString& field) const;
    void requireActive() const;
    bool filtering() const { return filtered_ && filter_.has_value(); }
    qsizetype currentRow() const;
    const QList<qsizetype>& order() const;
    const Buckets& buckets(int field) const;
    const QList<qsizetype>& view() const;
    void restart();
    void orderChanged();
    void viewChanged();
    void fieldChanged(int field);

    QString name_;
    ConnectionBroker* broker_ = nullptr;
    QString provider_;
    DataSetProvider* localProvider_ = nullptr;
    QString commandText_;
    RowSet data_;
    bool active_ = false;
    QStringList indexFields_;
    std::optional<Filter> filter_;
    bool filtered_ = true;
    qsizetype editRow_ = -1;     // row of data_ in edit state, or -1
    QList<qsizetype> inserted_;  // rows of data_ appended since opening

    // Derived from data_ when first needed and dropped when what they derive from changes, so
    // that a run of look-ups or filters costs one pass over the rows, not one per call.
    mutable std::optional<QList<qsizetype>> order_;              // rows of data_ in index order
    mutable QHash<int, Buckets> buckets_;                        // per field, over order_
    mutable std::optional<QList<qsizetype>> view_;               // order_ with the filter applied
    mutable QHash<int, QHash<QString, qsizetype>> firstInView_;  // per field: text → position
    mutable qsizetype position_ = 0;                             // the cursor, in view_
    mutable qsizetype anchor_ = -1;  // row of data_ the cursor stays on when view_ is rebuilt
};

}  // namespace cv
