// The host's application server as the networked working style sees it: client datasets name
// a provider and hand it their command text; the server runs it, or applies appended records
// as inserts. The providers are the server's: "DspDept", "DspPerson", "DspTemp", "DspSelect",
// and the unnamed one that the tree queries use. Any other name is refused.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <span>
#include <unordered_map>

#include "DataSet.h"
#include "WindowedWriter.h"

namespace cv {

class Connection;
class PreparedStatement;
class TextRows;
class StagedFile;

// A record to insert in a window: which registered table, and its values by the table's
// fields (a null value leaves its column to the table's default).
struct WindowRecord {
    int table = 0;
    Row row;
    int keep = -1;  // as WindowInsert::keep
};

// One import's windows on the application server: the server applies each window's records
// as one apply, in one transaction under the import lock (WindowedWriter), each record under a
// savepoint of its own, and names the record it refuses. Fetches inside a window see what it
// has applied.
class ServerWindows {
public:
    // Registers the table that `commandText` selects from as `provider` serves it, with the
    // fields its records carry; answers the table's number. Throws DbError for an unknown
    // provider or a statement without a table.
    int table(const QString& provider, const QString& commandText, const QList<FieldDef>& fields);

    // As WindowedWriter::noteStore, open, go and the rest, for records: the application
    // server applies a window's records as one apply, naming the first it refuses.
    void noteStore() { writer_.noteStore(); }
    WindowAnswer open(const std::function<QStringList()>& checks, WindowRequest::Checks when,
                      std::span<const WindowRecord> records, bool commit, const WindowWait& wait,
                      const std::function<void()>& alive = {});
    WindowAnswer go(std::span<const WindowRecord> records, bool commit,
                    const std::function<void()>& alive = {});
    bool inWindow() const { return writer_.inWindow(); }
    bool ownerInTransaction() const { return writer_.ownerInTransaction(); }
    RowSet fetch(const QString& provider, const QString& commandText);
    void rollbackTo(int keep) { writer_.rollbackTo(keep); }
    void commit() { writer_.commit(); }
    void rollback() { writer_.rollback(); }
    WindowedWriter::Costs costs() const { return writer_.costs(); }

private:
    friend class ConnectionBroker;
    ServerWindows(Connection& server);
    int statement(int table, const Row& row);
    std::vector<WindowInsert> inserts(std::span<const WindowRecord> records);
    void nameRefused(std::span<const WindowRecord> records, WindowAnswer& answer) const;

    struct Table {
        QString name;
        QList<FieldDef> fields;
        std::unordered_map<QString, int> statements;  // by the columns a record sets
    };
    Connection& server_;
    WindowedWriter writer_;
    QList<Table> tables_;
};

class ConnectionBroker {
public:
    // The server's own connection to its database: the embedded back end (SQLite) or a
    // PostgreSQL server.
    explicit ConnectionBroker(std::unique_ptr<Connection> server);
    ~ConnectionBroker();

    // True while the server answers.
    bool connected() const;
    static const QStringList& providerNames();

    // Runs `commandText` under `provider` and returns its rows. Throws DbError for an unknown
    // provider, a broken server or a refused statement.
    RowSet fetch(const QString& provider, const QString& commandText);
    // The same rows as texts (readTextRows, `onRow` called with each as it arrives), for a
    // client that only shows them.
    TextRows fetchTexts(const QString& provider, const QString& commandText,
                        const std::function<void(TextRows&, qsizetype)>& onRow = {},
                        bool keepRows = true);
    // Writes the rows of `commandText` into `file` as the data packet the server sends for
    // them, as they are read (streamQueryPacket); false where the server cannot.
    bool streamPacket(const QString& provider, const QString& commandText, StagedFile& file);

    // Inserts `records` (fields and rows) into the table that `commandText` selects from.
    // Each refused record counts one error; once the count exceeds `maxErrors` (unless it is
    // -1, no limit) the apply stops and throws. Returns the count of refused records, and
    // adds the server's reason for each to `refusals` when given. The insert statements are
    // prepared once and kept for the broker's life.
    int applyInserts(const QString& provider, const QString& commandText, const RowSet& records,
                     int maxErrors, QStringList* refusals = nullptr);

    // Windows of an import on this server; they must go before the broker.
    std::unique_ptr<ServerWindows> importWindows();

    Connection& serverConnection() const { return *server_; }

private:
    PreparedStatement& prepared(const QString& sql);

    std::unique_ptr<Connection> server_;
    std::unordered_map<QString, std::unique_ptr<PreparedStatement>> prepared_;
};

}  // namespace cv
