// The host's installations: opening a store the way the host does, its schema, and the
// sample personnel that the demo and the tests start from.
#pragma once

#include <QString>
#include <memory>

namespace cv {
class Connection;
}

namespace cvhost {

// Opens a store (SQLite file or postgresql:// URL). An SQLite store runs in WAL mode with
// synchronous=NORMAL: an import sends every insert as its own statement, and a full sync per
// statement costs about ten times more. Throws cv::DbError.
std::unique_ptr<cv::Connection> openStore(const QString& target);

// An installation of its own on a PostgreSQL server: the schema `schema`, dropped first when
// it exists, then made; answers the address that reaches it (the server's URL with the schema
// as its search path). Throws cv::DbError.
QString makeServerStore(const QString& serverUrl, const QString& schema);
// Drops such an installation with everything in it. Throws cv::DbError.
void dropServerStore(const QString& serverUrl, const QString& schema);

// Creates CV_PersonInfo and CV_DeptInfo with their keys and indexes when they are missing.
void createSchema(cv::Connection& connection);

enum class Sample { None, A, B };
// Fills an empty installation with sample personnel. Sample B shares one person (same
// PerUUID) and one login name (another person) with sample A, and has some of A's
// departments under other codes.
void insertSample(cv::Connection& connection, Sample sample);

}  // namespace cvhost
