#include "BenchHost.h"

#include <cstdio>
#include <cstdlib>

#include "CVCallConv.h"
#include "HostContext.h"
#include "HostSettings.h"
#include "TDM_PersonPack.h"

namespace {
std::uint8_t currentStyle = 2;
}

extern "C" CV_EXPORT std::uint8_t CVCALL CVGetWorkingStyle(void) { return currentStyle; }

namespace bench {

BenchStore::BenchStore(const QString& databasePath, std::uint8_t style) {
    currentStyle = style;
    auto& settings = cvhost::Settings::instance();
    settings.set("db", databasePath);
    settings.set("server", databasePath);
    settings.set("style", style == 1 ? "networked" : "local");
    cv::installContext(&application_, nullptr, nullptr);
    if (!cv::TDM_PersonPack::PrepareStore()) {
        std::fprintf(stderr, "the store %s cannot be used\n", qPrintable(databasePath));
        std::exit(2);
    }
}

BenchStore::~BenchStore() {
    cv::installContext(nullptr, nullptr, nullptr);
    cvhost::closeConnections();
}

double seconds(const QElapsedTimer& timer) { return timer.nsecsElapsed() / 1e9; }

}  // namespace bench
