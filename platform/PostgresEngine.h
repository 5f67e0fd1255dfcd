// PostgreSQL's own side of a connection: the connection options of a postgresql:// URL, the
// session the host's statements need, and texts read exactly from libpq's results. Internal
// to the platform library.
#pragma once

#include <QByteArrayView>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <optional>

#include "Database.h"

struct pg_result;
class QUrl;

namespace cv {

// The query items of a postgresql:// URL (libpq's parameters, such as
// options=-c search_path=x or sslmode=require) as Qt's connect options. Qt joins them into
// libpq's connection string after turning every ';' into a blank, so a value holding one
// cannot be passed intact and is refused. A server that does not answer gives up after ten
// seconds unless connect_timeout says otherwise.
QString postgresOptions(const QUrl& url);

// A PostgreSQL session as the host's statements need it. Values are quoted the standard way
// (only quotes doubled), so the session must read literals the standard way: one that read
// backslashes as escapes would let a value end its literal. Len is created, in the first
// schema of the search path, when the server has none. A role that may not create it (since
// PostgreSQL 15 only the owner may create in the public schema) still connects: only the
// statements that need Len (finding and creating departments) are refused then.
void preparePostgres(const QSqlDatabase& db);

// PostgreSQL's texts as the server holds them. Qt's driver decodes them with
// QString::fromUtf8, which takes a leading U+FEFF for a byte order mark and drops it (a person
// whose identifier began with one could not be found again by it); such a text is decoded
// again from libpq's result. (SQLite's rows are read on the driver's own handle: SqliteRows.)
class ExactTexts {
public:
    explicit ExactTexts(Dialect dialect) : postgres_(dialect == Dialect::PostgreSQL) {}

    // Before the values of the query's current row are taken.
    void row(const QSqlQuery& query);
    QVariant value(const QSqlQuery& query, int column) const;

    // Whether `column` is text, varchar or char(n) in libpq's result holding the current row;
    // false where the driver is not PostgreSQL's.
    bool isText(int column) const;
    // The text in `column` of the current row as libpq holds it (UTF-8, every character, a
    // leading U+FEFF included), without Qt's QString; nothing for a NULL. Only where isText.
    std::optional<QByteArrayView> utf8(int column) const;

private:
    bool postgres_;
    const pg_result* result_ = nullptr;
    int row_ = 0;
};

}  // namespace cv
