// What the process spends inside SQLite, seen from outside the library. The benchmark's
// executable defines SQLite's statement functions (prepare, step, reset, finalize, exec); the
// dynamic linker binds every library's calls to the executable's definitions first, which time
// each outermost call and forward it to SQLite's own. A commit hook set on every connection
// that steps a statement counts the write transactions committed.
#pragma once

#include <cstdint>

namespace bench {

struct SqliteCalls {
    double seconds = 0;         // inside the calls
    std::uint64_t steps = 0;    // sqlite3_step calls (a row read is a step too)
    std::uint64_t commits = 0;  // write transactions committed
    bool commitsKnown = true;   // false when a connection already had a commit hook of its own
};

SqliteCalls sqliteCalls();
void resetSqliteCalls();

}  // namespace bench
