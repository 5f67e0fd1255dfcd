#include "PostgresEngine.h"

#include <libpq-fe.h>

#include <QRegularExpression>
#include <QSqlResult>
#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>
#include <cstring>

#include "DriverRows.h"

namespace cv {

QString postgresOptions(const QUrl& url) {
    static const QRegularExpression key(QStringLiteral("^[a-z_]+$"));
    QStringList options;
    bool timeout = false;
    for (const auto& [name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (!key.match(name).hasMatch() || value.contains(';'))
            throw DbError("unusable connection parameter in the database address: " +
                          name.toStdString());
        QString quoted = value;
        quoted.replace('\\', QLatin1String("\\\\")).replace('\'', QLatin1String("\\'"));
        options << name + "='" + quoted + '\'';
        timeout = timeout || name == "connect_timeout";
    }
    if (!timeout) options << QStringLiteral("connect_timeout=10");
    return options.join(';');
}

void preparePostgres(const QSqlDatabase& db) {
    QSqlQuery query(db);
    const QString standard = "SET standard_conforming_strings = on";
    if (!query.exec(standard)) refuseStatement(query.lastError(), standard);
    const QString missing = "SELECT to_regprocedure('len(text)') IS NULL";
    if (!query.exec(missing) || !query.next()) refuseStatement(query.lastError(), missing);
    if (!query.value(0).toBool()) return;
    const QString create =
        "CREATE OR REPLACE FUNCTION len(text) RETURNS integer LANGUAGE sql IMMUTABLE AS "
        "$$SELECT length($1)$$";
    if (!query.exec(create))
        qWarning("len(text) is missing on the server and cannot be created: %s",
                 qPrintable(query.lastError().text()));
}

void ExactTexts::row(const QSqlQuery& query) {
    result_ = nullptr;
    if (!postgres_) return;
    const QVariant handle = query.result()->handle();
    // Qt names the type after libpq's struct.
    if (qstrcmp(handle.typeName(), "pg_result*") != 0 &&
        qstrcmp(handle.typeName(), "PGresult*") != 0)
        return;
    result_ = *static_cast<PGresult* const*>(handle.constData());
    // One row per result when Qt fetches row by row, else the whole result.
    row_ = PQntuples(result_) == 1 ? 0 : query.at();
}

QVariant ExactTexts::value(const QSqlQuery& query, int column) const {
    if (result_ && !PQgetisnull(result_, row_, column)) {
        const char* text = PQgetvalue(result_, row_, column);
        if (std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) {
            QStringDecoder decoder(
                QStringConverter::Utf8,
                QStringConverter::Flag::ConvertInitialBom | QStringConverter::Flag::Stateless);
            QVariant value = query.value(column);
            if (value.metaType() == QMetaType::fromType<QString>())
                return QString(
                    decoder.decode(QByteArrayView(text, PQgetlength(result_, row_, column))));
            return value;
        }
    }
    return query.value(column);
}

bool ExactTexts::isText(int column) const {
    if (!result_) return false;
    // By their fixed type numbers in PostgreSQL's catalogue.
    const Oid type = PQftype(result_, column);
    return type == 25 || type == 1043 || type == 1042;
}

std::optional<QByteArrayView> ExactTexts::utf8(int column) const {
    if (PQgetisnull(result_, row_, column)) return std::nullopt;
    return QByteArrayView(PQgetvalue(result_, row_, column), PQgetlength(result_, row_, column));
}

}  // namespace cv
