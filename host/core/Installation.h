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
// statement costs about ten times more. An SQLite file that holds tables but neither of the
// personnel tables belongs to another program: it is refused as it is, its journal mode left
// alone. Throws cv::DbError (also for a file that is not an SQLite database).
std::unique_ptr<cv::Connection> openStore(const QString& target);

// Why `store` cannot be an installation before anything opens it, in Chinese; "" when it may
// be one (every server address may). An SQLite file must exist, be a file and hold something:
// opening an empty file would turn it into an empty database with its -wal and -shm beside it.
// Only stat is asked: nothing of the file is opened.
QString storeFileProblem(const QString& store);

// A database engine's reason (libpq's, SQLite's, Qt's, in English) told in plain Chinese,
// with the engine's own words after it.
QString plainDatabaseError(const QString& engineText);
// Whether the engine's reason says that the server wants a password, or another one.
bool passwordRefused(const QString& engineText);

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
