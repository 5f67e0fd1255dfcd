#include "ConnectionBroker.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include "Database.h"
#include "QueryPacket.h"
#include "TextRows.h"

namespace cv {
namespace {

void requireProvider(const QString& provider) {
    if (!ConnectionBroker::providerNames().contains(provider)) {
        throw DbError("unknown provider \"" + provider.toStdString() + '"');
    }
}

QString tableOf(const QString& commandText) {
    static const QRegularExpression from(R"(\bfrom\s+("[^"]+"|[\w.]+))",
                                         QRegularExpression::CaseInsensitiveOption);
    const auto match = from.match(commandText);
    if (!match.hasMatch()) {
        throw DbError("no table to insert into in: " + commandText.toStdString());
    }
    return match.captured(1);
}

// One record's INSERT: the columns of its non-null values, each bound to a mark; a null
// leaves the column to its default.
struct RecordInsert {
    QString sql;
    QVariantList values;
};

RecordInsert recordInsert(const QSqlDatabase& db, const QString& table, const RowSet& records,
                          const Row& row) {
    QStringList columns;
    QStringList marks;
    QVariantList values;
    for (qsizetype i = 0; i < records.fields.size(); ++i) {
        if (row[i].isNull()) continue;
        columns << db.driver()->escapeIdentifier(records.fields[i].name, QSqlDriver::FieldName);
        marks << QStringLiteral("?");
        values << row[i];
    }
    const QString sql = columns.isEmpty()
                            ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(table)
                            : QStringLiteral("INSERT INTO %1(%2) VALUES(%3)")
                                  .arg(table, columns.join(','), marks.join(','));
    return {sql, values};
}

void execute(QSqlQuery& query, const QString& sql) {
    if (!query.exec(sql)) {
        throw DbError(
            QStringLiteral("%1 [statement: %2]").arg(query.lastError().text(), sql).toStdString());
    }
}

}  // namespace

ServerWindows::ServerWindows(Connection& server) : server_(server), writer_(server, {}) {}

int ServerWindows::table(const QString& provider, const QString& commandText,
                         const QList<FieldDef>& fields) {
    requireProvider(provider);
    tables_.append({tableOf(commandText), fields, {}});
    return int(tables_.size()) - 1;
}

RowSet ServerWindows::fetch(const QString& provider, const QString& commandText) {
    requireProvider(provider);
    return writer_.query(commandText);
}

int ServerWindows::statement(int table, const Row& row) {
    Table& t = tables_[table];
    QString key(row.size(), u'0');
    for (qsizetype i = 0; i < row.size(); ++i)
        if (!row[i].isNull()) key[i] = u'1';
    if (const auto found = t.statements.find(key); found != t.statements.end())
        return found->second;
    RowSet shape;
    shape.fields = t.fields;
    const RecordInsert insert = recordInsert(server_.database(), t.name, shape, row);
    const int number = writer_.addStatement(insert.sql);
    t.statements.emplace(key, number);
    return number;
}

std::vector<WindowInsert> ServerWindows::inserts(std::span<const WindowRecord> records) {
    std::vector<WindowInsert> inserts;
    inserts.reserve(records.size());
    for (const WindowRecord& record : records) {
        if (record.table < 0 || record.table >= tables_.size() ||
            record.row.size() != tables_[record.table].fields.size())
            throw DbError("a record that fits no registered table");
        WindowInsert insert{statement(record.table, record.row), {}, record.keep};
        for (const QVariant& value : record.row)
            if (!value.isNull()) insert.values.append(value);
        inserts.push_back(std::move(insert));
    }
    return inserts;
}

void ServerWindows::nameRefused(std::span<const WindowRecord> records, WindowAnswer& answer) const {
    if (answer.planHeld && answer.stored < qsizetype(records.size()))
        answer.refusal =
            QStringLiteral("insert into %1 refused: %2")
                .arg(tables_[records[std::size_t(answer.stored)].table].name, answer.refusal);
}

WindowAnswer ServerWindows::open(const std::function<QStringList()>& checks,
                                 WindowRequest::Checks when, std::span<const WindowRecord> records,
                                 bool commit, const WindowWait& wait,
                                 const std::function<void()>& alive) {
    const std::vector<WindowInsert> prepared = inserts(records);
    WindowAnswer answer = writer_.open({checks, when, prepared, commit}, wait, alive);
    nameRefused(records, answer);
    return answer;
}

WindowAnswer ServerWindows::go(std::span<const WindowRecord> records, bool commit,
                               const std::function<void()>& alive) {
    const std::vector<WindowInsert> prepared = inserts(records);
    WindowAnswer answer = writer_.go(prepared, commit, alive);
    nameRefused(records, answer);
    return answer;
}

std::unique_ptr<ServerWindows> ConnectionBroker::importWindows() {
    if (!server_) throw StoreUnavailable("no application server");
    return std::unique_ptr<ServerWindows>(new ServerWindows(*server_));
}

ConnectionBroker::ConnectionBroker(std::unique_ptr<Connection> server)
    : server_(std::move(server)) {}

// The prepared statements go before the connection they were prepared on.
ConnectionBroker::~ConnectionBroker() { prepared_.clear(); }

PreparedStatement& ConnectionBroker::prepared(const QString& sql) {
    auto found = prepared_.find(sql);
    if (found != prepared_.end()) return *found->second;
    // Records of a table have few shapes (which columns are null), so the cache stays small.
    auto statement = std::make_unique<PreparedStatement>(server_.get(), sql);
    return *prepared_.emplace(sql, std::move(statement)).first->second;
}

bool ConnectionBroker::connected() const { return server_ && server_->connected(); }

const QStringList& ConnectionBroker::providerNames() {
    static const QStringList names{"DspDept", "DspPerson", "DspTemp", "DspSelect", ""};
    return names;
}

RowSet ConnectionBroker::fetch(const QString& provider, const QString& commandText) {
    requireProvider(provider);
    Query query(server_.get());
    query.setCommandText(commandText);
    query.open();
    return query.data();
}

TextRows ConnectionBroker::fetchTexts(const QString& provider, const QString& commandText,
                                      const std::function<void(TextRows&, qsizetype)>& onRow,
                                      bool keepRows) {
    requireProvider(provider);
    return readTextRows(server_.get(), commandText, onRow, keepRows);
}

bool ConnectionBroker::streamPacket(const QString& provider, const QString& commandText,
                                    StagedFile& file) {
    requireProvider(provider);
    return streamQueryPacket(server_.get(), commandText, file);
}

// Several records go in one transaction, each under a savepoint: a refused record is undone
// alone (PostgreSQL would otherwise abort the whole transaction), and an apply that stops at
// the error limit leaves nothing behind, so the client may keep every record pending.
int ConnectionBroker::applyInserts(const QString& provider, const QString& commandText,
                                   const RowSet& records, int maxErrors, QStringList* refusals) {
    requireProvider(provider);
    const QString table = tableOf(commandText);
    QSqlDatabase db = server_->database();
    const bool batch = records.rows.size() > 1;
    QSqlQuery control(db);
    if (batch && !db.transaction()) {
        throw DbError("cannot start a transaction: " + db.lastError().text().toStdString());
    }
    int errors = 0;
    try {
        for (const Row& row : records.rows) {
            if (batch) execute(control, "SAVEPOINT cv_record");
            const RecordInsert record = recordInsert(db, table, records, row);
            PreparedStatement& insert = prepared(record.sql);
            QString why;
            try {
                insert.execute(record.values);
            } catch (const DbError& e) {
                why = QStringLiteral("insert into %1 refused: %2").arg(table, e.what());
            }
            if (why.isEmpty()) {
                if (batch) execute(control, "RELEASE SAVEPOINT cv_record");
                continue;
            }
            if (batch) {
                execute(control, "ROLLBACK TO SAVEPOINT cv_record");
                execute(control, "RELEASE SAVEPOINT cv_record");
            }
            // A server that stopped answering refuses everything: that is a failure of the
            // apply, not a count of refused records.
            if (!server_->connected()) throw DbError(why.toStdString());
            if (++errors > maxErrors && maxErrors != -1) throw DbError(why.toStdString());
            if (refusals) *refusals << why;
        }
        if (batch && !db.commit()) {
            throw DbError("cannot commit: " + db.lastError().text().toStdString());
        }
    } catch (...) {
        if (batch) db.rollback();
        throw;
    }
    return errors;
}

}  // namespace cv
