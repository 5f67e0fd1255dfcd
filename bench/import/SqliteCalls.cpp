#include "SqliteCalls.h"

#include <dlfcn.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<std::int64_t> nanoseconds{0};
std::atomic<std::uint64_t> steps{0};
std::atomic<std::uint64_t> commits{0};
std::atomic<bool> hookTaken{false};
// sqlite3_exec steps its statements through sqlite3_step, which lands here again.
thread_local int depth = 0;
char hookTag;  // the commit hook's argument: tells our hook from anybody else's

int countCommit(void*) {
    ++commits;
    return 0;  // let it commit
}

template <typename Function>
Function real(const char* name) {
    void* function = dlsym(RTLD_NEXT, name);
    if (!function) {
        std::fprintf(stderr, "bench_import: SQLite's %s not found\n", name);
        std::abort();
    }
    return reinterpret_cast<Function>(function);
}

template <typename Call>
int timed(Call&& call) {
    if (depth++ > 0) {
        const int result = call();
        --depth;
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    const int result = call();
    nanoseconds += std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::steady_clock::now() - start)
                       .count();
    --depth;
    return result;
}

}  // namespace

extern "C" {

int sqlite3_step(sqlite3_stmt* statement) {
    static const auto step = real<int (*)(sqlite3_stmt*)>("sqlite3_step");
    if (sqlite3* db = statement ? sqlite3_db_handle(statement) : nullptr) {
        void* previous = sqlite3_commit_hook(db, countCommit, &hookTag);
        if (previous && previous != &hookTag) hookTaken = true;
    }
    ++steps;
    return timed([&] { return step(statement); });
}

int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** statement,
                       const char** tail) {
    static const auto prepare =
        real<int (*)(sqlite3*, const char*, int, sqlite3_stmt**, const char**)>(
            "sqlite3_prepare_v2");
    return timed([&] { return prepare(db, sql, bytes, statement, tail); });
}

int sqlite3_prepare_v3(sqlite3* db, const char* sql, int bytes, unsigned int flags,
                       sqlite3_stmt** statement, const char** tail) {
    static const auto prepare =
        real<int (*)(sqlite3*, const char*, int, unsigned int, sqlite3_stmt**, const char**)>(
            "sqlite3_prepare_v3");
    return timed([&] { return prepare(db, sql, bytes, flags, statement, tail); });
}

int sqlite3_prepare16_v2(sqlite3* db, const void* sql, int bytes, sqlite3_stmt** statement,
                         const void** tail) {
    static const auto prepare =
        real<int (*)(sqlite3*, const void*, int, sqlite3_stmt**, const void**)>(
            "sqlite3_prepare16_v2");
    return timed([&] { return prepare(db, sql, bytes, statement, tail); });
}

int sqlite3_prepare16_v3(sqlite3* db, const void* sql, int bytes, unsigned int flags,
                         sqlite3_stmt** statement, const void** tail) {
    static const auto prepare =
        real<int (*)(sqlite3*, const void*, int, unsigned int, sqlite3_stmt**, const void**)>(
            "sqlite3_prepare16_v3");
    return timed([&] { return prepare(db, sql, bytes, flags, statement, tail); });
}

int sqlite3_reset(sqlite3_stmt* statement) {
    static const auto reset = real<int (*)(sqlite3_stmt*)>("sqlite3_reset");
    return timed([&] { return reset(statement); });
}

int sqlite3_finalize(sqlite3_stmt* statement) {
    static const auto finalize = real<int (*)(sqlite3_stmt*)>("sqlite3_finalize");
    return timed([&] { return finalize(statement); });
}

int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* argument, char** error) {
    static const auto exec =
        real<int (*)(sqlite3*, const char*, int (*)(void*, int, char**, char**), void*, char**)>(
            "sqlite3_exec");
    return timed([&] { return exec(db, sql, callback, argument, error); });
}

}  // extern "C"

namespace bench {

SqliteCalls sqliteCalls() { return {double(nanoseconds) / 1e9, steps, commits, !hookTaken}; }

void resetSqliteCalls() {
    nanoseconds = 0;
    steps = 0;
    commits = 0;
    hookTaken = false;
}

}  // namespace bench
