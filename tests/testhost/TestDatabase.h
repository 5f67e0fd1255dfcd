// Where a test's store lives. By default an SQLite file in the test's folder; when
// CV_TEST_POSTGRES_DIR names the folder of a server started by scripts/pgserver.sh, a schema
// of its own on that PostgreSQL server, reached through a URL whose search path names it.
#pragma once

#include <QFile>
#include <QString>
#include <QUuid>
#include <stdexcept>

#include "Installation.h"

namespace testdb {

// The server's address, or empty when the tests run on SQLite. A folder without an address
// is a broken set-up, not a reason to fall back to SQLite quietly.
inline QString serverUrl() {
    const QString dir = qEnvironmentVariable("CV_TEST_POSTGRES_DIR");
    if (dir.isEmpty()) return {};
    QFile file(dir + "/url");
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("CV_TEST_POSTGRES_DIR has no server address: " +
                                 dir.toStdString());
    return QString::fromUtf8(file.readAll()).trimmed();
}

inline bool onPostgres() { return !serverUrl().isEmpty(); }

// A fresh, empty store for one test: on `server` when one is given, else an SQLite file in
// `folder`. On a server its schema is dropped again afterwards.
class FreshStore {
public:
    explicit FreshStore(const QString& folder, const QString& server = serverUrl())
        : server_(server) {
        if (server_.isEmpty()) {
            target_ = folder + "/store.sqlite";
            return;
        }
        schema_ = "cv_" + QUuid::createUuid().toString(QUuid::Id128);
        target_ = cvhost::makeServerStore(server_, schema_);
    }
    ~FreshStore() {
        if (schema_.isEmpty()) return;
        try {
            cvhost::dropServerStore(server_, schema_);
        } catch (const std::exception&) {
            // Left for the server's removal at the end of the run.
        }
    }
    FreshStore(const FreshStore&) = delete;
    FreshStore& operator=(const FreshStore&) = delete;

    // An SQLite file path or a postgresql:// URL, as the host's settings take it.
    const QString& target() const { return target_; }

private:
    QString server_;
    QString schema_;
    QString target_;
};

}  // namespace testdb
