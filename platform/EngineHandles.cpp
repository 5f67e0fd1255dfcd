#include "EngineHandles.h"

#include <QSqlDriver>
#include <QVariant>

namespace cv {
namespace {

// Qt hands the handle over as a QVariant whose type is named after the engine's struct.
template <typename Handle>
Handle* handleOf(const QSqlDatabase& db, const char* name, const char* otherName) {
    if (!db.isOpen()) return nullptr;
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), name) != 0 && qstrcmp(handle.typeName(), otherName) != 0)
        return nullptr;
    return *static_cast<Handle* const*>(handle.constData());
}

}  // namespace

sqlite3* sqliteHandle(const QSqlDatabase& db) {
    return handleOf<sqlite3>(db, "sqlite3*", "sqlite3*");
}

pg_conn* postgresHandle(const QSqlDatabase& db) {
    return handleOf<pg_conn>(db, "PGconn*", "pg_conn*");
}

}  // namespace cv
