// The host as the store benchmarks play it: the executable exports CVGetWorkingStyle, the
// host's settings point the companion libraries at a benchmark's store, and each
// BenchStore has an application object of its own, so the library creates a data module for
// that store and style.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <cstdint>

namespace bench {

class BenchStore {
public:
    // Points the host at `databasePath` in `style` (1 networked, 2 local) and runs the store
    // check; exits the program when it fails.
    BenchStore(const QString& databasePath, std::uint8_t style);
    ~BenchStore();
    BenchStore(const BenchStore&) = delete;
    BenchStore& operator=(const BenchStore&) = delete;

private:
    QObject application_;
};

// Seconds since `timer` started.
double seconds(const QElapsedTimer& timer);

}  // namespace bench
