#include "LoginNames.h"

#include <algorithm>
#include <bitset>
#include <memory>

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

// Writes `number`'s four digits at `digits`.
void putDigits(QChar* digits, int number) {
    for (int place = 3; place >= 0; --place, number /= 10)
        digits[place] = QChar(u'0' + number % 10);
}

}  // namespace

int UniqueLoginNumber(const QString& loginName, const std::function<bool(int)>& taken,
                      std::uint32_t& seed) {
    // A number found taken is not asked about again, but drawing it again still counts. Most
    // calls take the first number drawn: the numbers known are made only when one is taken.
    std::unique_ptr<std::bitset<kNumbers>> known;
    std::size_t knownCount = 0;
    for (;;) {
        const int number = drawNumber(seed);
        if (known && known->test(std::size_t(number - 1000))) continue;
        if (!taken(number)) return number;
        if (!known) known = std::make_unique<std::bitset<kNumbers>>();
        known->set(std::size_t(number - 1000));
        if (++knownCount == kNumbers)
            throw LoginNameExhausted("every login name " + loginName.toStdString() +
                                     "_1000 to _9999 is taken");
    }
}

QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken,
                        std::uint32_t& seed) {
    // loginName + "_" + four digits: only the digits change from one candidate to the next.
    QString candidate = DrawnLoginName(loginName, 1000);
    QChar* digits = candidate.data() + loginName.size() + 1;
    const int number = UniqueLoginNumber(
        loginName,
        [&](int number) {
            putDigits(digits, number);
            return taken(candidate);
        },
        seed);
    putDigits(digits, number);
    return candidate;
}

QString DrawnLoginName(const QString& loginName, int number) {
    QString name(loginName.size() + 5, Qt::Uninitialized);
    QChar* digits = std::copy(loginName.cbegin(), loginName.cend(), name.data());
    *digits++ = QLatin1Char('_');
    putDigits(digits, number);
    return name;
}

QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken) {
    return UniqueLoginName(loginName, taken, generator);
}

int DrawnNumber(QStringView name) {
    if (name.size() < 5 || name[name.size() - 5] != QLatin1Char('_')) return -1;
    int number = 0;
    for (QChar c : name.last(4)) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return -1;
        number = number * 10 + (c.unicode() - u'0');
    }
    return number >= 1000 ? number : -1;
}

std::uint32_t LoginNameSeed() { return generator; }

void SetLoginNameSeed(std::uint32_t seed) { generator = seed; }

void ResetLoginNameGenerator() { generator = 0; }

}  // namespace cv
