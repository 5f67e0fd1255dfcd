#pragma once

#include <QString>

namespace cv {

class Connection;
class StagedFile;

// Writes the rows of `hostSql` into `file` (open, not yet committed) as writeDataPacket writes
// the rows Query::open reads, as they are read, without holding them; on SQLite and
// PostgreSQL. False, the file then holding an unfinished packet, on another engine or where
// the rows need the dataset's way (see streamDataPacket). Throws DbError for a refused
// statement, DataPacketError when the file cannot be written.
bool streamQueryPacket(Connection* connection, const QString& hostSql, StagedFile& file);

}  // namespace cv
