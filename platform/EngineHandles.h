// The engines' own handles under a Qt SQL connection, for the code that talks to SQLite or
// libpq directly (Qt's drivers cannot bind UTF-8, pipeline statements or report an error's
// code). Internal to the platform library.
#pragma once

#include <QSqlDatabase>

struct sqlite3;
struct pg_conn;

namespace cv {

// The SQLite handle under `db`; null for other engines or a closed connection.
sqlite3* sqliteHandle(const QSqlDatabase& db);
// The libpq connection under `db`; null for other engines or a closed connection.
pg_conn* postgresHandle(const QSqlDatabase& db);

}  // namespace cv
