#include "LoginNames.h"

#include <QSet>
#include <algorithm>

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

QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken,
                        std::uint32_t& seed) {
    // loginName + "_" + four digits: only the digits change from one candidate to the next.
    QString candidate(loginName.size() + 5, Qt::Uninitialized);
    QChar* digits = std::copy(loginName.cbegin(), loginName.cend(), candidate.data());
    *digits++ = QLatin1Char('_');
    QSet<int> known;
    for (;;) {
        const int number = drawNumber(seed);
        if (known.contains(number)) continue;
        for (int place = 3, rest = number; place >= 0; --place, rest /= 10)
            digits[place] = QChar(u'0' + rest % 10);
        if (!taken(candidate)) return candidate;
        known.insert(number);
        if (known.size() == kNumbers)
            throw LoginNameExhausted("every login name " + loginName.toStdString() +
                                     "_1000 to _9999 is taken");
    }
}

QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken) {
    return UniqueLoginName(loginName, taken, generator);
}

bool CanBeDrawn(QStringView name) {
    if (name.size() < 5 || name[name.size() - 5] != QLatin1Char('_')) return false;
    for (QChar c : name.last(4))
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return true;
}

std::uint32_t LoginNameSeed() { return generator; }

void SetLoginNameSeed(std::uint32_t seed) { generator = seed; }

void ResetLoginNameGenerator() { generator = 0; }

}  // namespace cv
