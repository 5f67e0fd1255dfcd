// Whether this process still holds SQLite's locks on a store, as the kernel lists them.
//
// While a connection has an SQLite store open in WAL mode, the process holds a read lock on
// the database file and one on its shared-memory index (-shm). They tell every other program
// that the store is in use: the last program to close it checkpoints the write-ahead log and
// deletes it. Closing any descriptor of a file drops every POSIX lock the process holds on
// that file, whoever opened it; after that the next program to close the store deletes the
// log this process still writes into, and whatever it writes later is lost.
#pragma once

#include <QString>

namespace cvhost {

// Whether this process holds a lock on the SQLite file `database` and one on its -shm file as
// that name stands now (a deleted or remade index is not the one the process holds). Asked
// only of a store that a connection of this process has open in WAL mode, which holds both
// for as long as it is open. The kernel's list is matched by inode number and this process's
// id: a lock on the store is seen however a path reaches it. True when the list cannot be
// read (no /proc): nothing can be told then.
bool holdsStoreLocks(const QString& database);

}  // namespace cvhost
