// The numbering of texts that groups a column's rows, held to an ordered map over many seeded
// random sequences (one by one, and all at once as a package's are): short texts over a small
// alphabet (so that many share a slot of the table and probing runs past its end), the empty text,
// and look-ups of texts never added.
#include <gtest/gtest.h>

#include <QString>
#include <map>
#include <random>
#include <vector>

#include "TextKeys.h"

TEST(TextGroups, NumbersEveryTextAsAMapOfFirstSightingsDoesOverSeededSequences) {
    for (unsigned seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        const int alphabet = 2 + int(random() % 5);
        const int maxLength = 1 + int(random() % 6);
        const int count = int(random() % 3000);
        const auto randomText = [&] {
            QString text;
            const int length = int(random() % unsigned(maxLength + 1));
            for (int i = 0; i < length; ++i)
                text += QChar(u'a' + char16_t(random() % unsigned(alphabet)));
            if (random() % 50 == 0) text += QChar(0xD83D), text += QChar(0xDE00);  // beyond the BMP
            return text;
        };
        cv::TextGroups groups;
        std::map<QString, int> reference;
        std::vector<QString> texts;
        std::vector<QString> added;  // numbered again all at once, after a few one by one
        std::vector<int> numbers;
        for (int i = 0; i < count; ++i) {
            const QString text = randomText();
            added.push_back(text);
            const QString other = randomText();  // looked up, maybe never added
            const auto known = reference.find(other);
            ASSERT_EQ(groups.find(other), known == reference.end() ? -1 : known->second)
                << "seed " << seed;
            const int expected = reference.emplace(text, int(reference.size())).first->second;
            if (expected == int(texts.size())) texts.push_back(text);
            ASSERT_EQ(groups.add(text), expected) << "seed " << seed;
            numbers.push_back(expected);
        }
        cv::TextGroups batch;
        const std::size_t first = std::min(added.size(), std::size_t(seed % 20));
        for (std::size_t i = 0; i < first; ++i) batch.add(added[i]);
        batch.addEach(
            qsizetype(added.size() - first),
            [&](qsizetype i) { return QStringView(added[first + std::size_t(i)]); },
            [&](qsizetype i, int number) {
                ASSERT_EQ(number, numbers[first + std::size_t(i)]) << "seed " << seed;
            });
        ASSERT_EQ(batch.size(), groups.size());
        ASSERT_EQ(groups.size(), int(texts.size()));
        for (int g = 0; g < groups.size(); ++g) {
            ASSERT_EQ(groups.text(g), texts[std::size_t(g)]) << "seed " << seed;
            ASSERT_EQ(groups.find(texts[std::size_t(g)]), g) << "seed " << seed;
        }
    }
}
