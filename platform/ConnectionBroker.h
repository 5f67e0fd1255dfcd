// The host's application server as the networked working style sees it: client datasets name
// a provider and hand it their command text; the server runs it, or applies appended records
// as inserts. The providers are the server's: "DspDept", "DspPerson", "DspTemp", "DspSelect",
// and the unnamed one that the tree queries use. Any other name is refused.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <unordered_map>

#include "DataSet.h"

namespace cv {

class Connection;
class PreparedStatement;
class TextRows;
class StagedFile;

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

    Connection& serverConnection() const { return *server_; }

private:
    PreparedStatement& prepared(const QString& sql);

    std::unique_ptr<Connection> server_;
    std::unordered_map<QString, std::unique_ptr<PreparedStatement>> prepared_;
};

}  // namespace cv
