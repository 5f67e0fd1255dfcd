#include "QueryPacket.h"

#include "DataPacket.h"
#include "Database.h"
#include "DriverRows.h"
#include "EngineHandles.h"
#include "SqliteEngine.h"

namespace cv {
namespace {

// The rows of a statement on SQLite handed to the data-packet writer as they are stepped.
class SqlitePacketRows final : public PacketRowSource {
public:
    explicit SqlitePacketRows(SqliteRows& rows) : rows_(rows) {}
    bool next() override { return rows_.step(); }
    const QList<FieldDef>& fields() const override { return rows_.fields(); }
    PacketValue value(int field) override { return rows_.packetValue(field); }
    QVariant variant(int field) override { return rows_.value(field); }

private:
    SqliteRows& rows_;
};

// A PostgreSQL statement's rows through Qt's driver, the texts of text columns taken as libpq
// holds them (UTF-8, every character, a leading U+FEFF included) without Qt's QString; every
// other value as Query::open reads it.
class PostgresPacketRows final : public PacketRowSource {
public:
    PostgresPacketRows(Connection* connection, const QString& hostSql)
        : rows_(connection, hostSql) {}

    bool next() override { return rows_.next(); }
    const QList<FieldDef>& fields() const override { return rows_.fields(); }
    PacketValue value(int field) override {
        PacketValue value;
        const ExactTexts& exact = rows_.exact();
        const bool text = rows_.fields()[field].type == FieldType::String && exact.isText(field);
        if (!text) {
            value.kind = rows_.isNull(field) ? PacketValue::Kind::Null : PacketValue::Kind::Other;
        } else if (const std::optional<QByteArrayView> utf8 = exact.utf8(field)) {
            value.kind = PacketValue::Kind::Utf8;
            value.utf8 = *utf8;
        }
        return value;
    }
    QVariant variant(int field) override { return rows_.value(field); }

private:
    DriverRows rows_;
};

}  // namespace

bool streamQueryPacket(Connection* connection, const QString& hostSql, StagedFile& file) {
    sqlite3* sqlite = connection ? sqliteHandle(connection->database()) : nullptr;
    if (sqlite) {
        SqliteRows rows(sqlite, connection->adapt(hostSql));
        SqlitePacketRows source(rows);
        return streamDataPacket(file, source);
    }
    if (!connection || connection->dialect() != Dialect::PostgreSQL) return false;
    PostgresPacketRows source(connection, hostSql);
    return streamDataPacket(file, source);
}

}  // namespace cv
