#include "LoginNames.h"

#include <QSet>

#include "StoreError.h"

namespace cv {
namespace {

std::uint32_t generator = 0;

constexpr int kNumbers = 9000;

// seed := seed * 134775813 + 1 (mod 2^32); the number is 1000 + the high half of seed * 9000.
int drawNumber(std::uint32_t& seed) {
    seed = seed * 134775813u + 1u;
    return 1000 + static_cast<int>((std::uint64_t{seed} * kNumbers) >> 32);
}

}  // namespace

QString UniqueLoginName(const QString& loginName, const std::function<bool(const QString&)>& taken,
                        std::uint32_t& seed) {
    QSet<int> known;
    for (;;) {
        const int number = drawNumber(seed);
        if (known.contains(number)) continue;
        const QString candidate = loginName + QLatin1Char('_') + QString::number(number);
        if (!taken(candidate)) return candidate;
        known.insert(number);
        if (known.size() == kNumbers)
            throw LoginNameExhausted("every login name " + loginName.toStdString() +
                                     "_1000 to _9999 is taken");
    }
}

QString UniqueLoginName(const QString& loginName,
                        const std::function<bool(const QString&)>& taken) {
    return UniqueLoginName(loginName, taken, generator);
}

std::uint32_t LoginNameSeed() { return generator; }

void SetLoginNameSeed(std::uint32_t seed) { generator = seed; }

void ResetLoginNameGenerator() { generator = 0; }

}  // namespace cv
