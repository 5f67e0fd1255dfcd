// The library's login-name generator and the candidate loop built on it. The generator is
// process-wide state: its seed is 0 when the library is loaded and only the candidate loop
// draws from it, so each load draws the same sequence of numbers. A plan draws from a copy of
// the seed, so that planning changes nothing; what it planned then puts the copy back.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace cv {

// `loginName` + "_" + a drawn number from 1000 to 9999 for which `taken` answers false. A
// candidate is always built from `loginName`, never from an earlier candidate. Numbers found
// taken in this call are not asked about again, but their draws still count, so the draws
// consumed are those of asking every candidate. Throws LoginNameExhausted once all 9000
// numbers are known taken. Draws from `seed`, or from the library's generator.
QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken,
                        std::uint32_t& seed);
QString UniqueLoginName(const QString& loginName, const std::function<bool(QStringView)>& taken);

// The number UniqueLoginName would append, for a caller that knows which names are taken by
// their numbers: the same draws from `seed`, `taken` asked about each candidate's number.
// Throws LoginNameExhausted (naming `loginName`) as UniqueLoginName does.
int UniqueLoginNumber(const QString& loginName, const std::function<bool(int)>& taken,
                      std::uint32_t& seed);
// `loginName` + "_" + `number`'s four digits.
QString DrawnLoginName(const QString& loginName, int number);
// The number a drawn name ends in ("_" and a number from 1000 to 9999), or -1 when
// UniqueLoginName can answer `name` for no login name, which then never clashes with a
// candidate. The login name it was drawn for is the rest of it but its last five characters.
int DrawnNumber(QStringView name);

// The library's generator: its seed now, and setting it.
std::uint32_t LoginNameSeed();
void SetLoginNameSeed(std::uint32_t seed);

// Puts the generator back to its state at load (seed 0).
void ResetLoginNameGenerator();

}  // namespace cv
