#include "LoginNames.h"

#include <QSet>
#include <cstdint>

#include "StoreError.h"

namespace cv {
namespace {

std::uint32_t seed = 0;

constexpr int kNumbers = 9000;

// seed := seed * 134775813 + 1 (mod 2^32); the number is 1000 + the high half of seed * 9000.
int drawNumber() {
    seed = seed * 134775813u + 1u;
    return 1000 + static_cast<int>((std::uint64_t{seed} * kNumbers) >> 32);
}

}  // namespace

QString UniqueLoginName(const QString& loginName,
                        const std::function<bool(const QString&)>& taken) {
    QSet<int> known;
    for (;;) {
        const int number = drawNumber();
        if (known.contains(number)) continue;
        const QString candidate = loginName + QLatin1Char('_') + QString::number(number);
        if (!taken(candidate)) return candidate;
        known.insert(number);
        if (known.size() == kNumbers)
            throw LoginNameExhausted("every login name " + loginName.toStdString() +
                                     "_1000 to _9999 is taken");
    }
}

void ResetLoginNameGenerator() { seed = 0; }

}  // namespace cv
