// The image's people and login names against plain sets of strings: on seeded random runs of
// additions (by text and by number), questions and take-backs to a mark, across many growths
// of its slots, every answer is the sets' answer. A null text is the empty one, as in the
// store's statements, and is never added.
#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QSet>
#include <vector>

#include "LoginNames.h"
#include "StoreImage.h"

namespace cv::test {
namespace {

TEST(StoreImage, PeopleAndLoginNamesAnswerAsPlainSetsDoThroughAdditionsAndTakeBacks) {
    for (quint32 seed = 1; seed <= 30; ++seed) {
        SCOPED_TRACE(seed);
        QRandomGenerator r(seed);
        // Few distinct texts in some runs (many repeats), many in others (many growths).
        const int distinct = seed % 3 == 0 ? 20 : 5000;
        const auto text = [&]() -> QString {
            const int n = r.bounded(distinct + 2);
            if (n == distinct) return QString();        // null
            if (n == distinct + 1) return QString("");  // empty
            return QString("t%1-人").arg(n);
        };
        StoreImage image = StoreImage::fromRows({}, {});
        QSet<QString> people;
        QSet<QString> logins;
        struct Saved {
            StoreImage::Mark mark;
            QSet<QString> people;
            QSet<QString> logins;
        };
        std::vector<Saved> marks;
        for (int step = 0; step < 4000; ++step) {
            const int what = r.bounded(10);
            const QString a = text();
            const QString b = text();
            if (what < 4) {
                if (what < 2) {
                    image.addPerson(a, b);
                } else {
                    image.addPerson(a.isNull() ? -1 : image.personKey(a),
                                    b.isNull() ? -1 : image.loginKey(b));
                }
                if (!a.isNull()) people.insert(a);
                if (!b.isNull()) logins.insert(b);
            } else if (what < 8) {
                ASSERT_EQ(image.hasPerson(a), people.contains(a)) << a.toStdString();
                ASSERT_EQ(image.hasLogin(b), logins.contains(b)) << b.toStdString();
                ASSERT_EQ(image.hasPerson(image.personKey(a)), people.contains(a));
                ASSERT_EQ(image.hasLogin(image.loginKey(b)), logins.contains(b));
            } else if (what == 8) {
                marks.push_back({image.mark(), people, logins});
            } else if (!marks.empty()) {
                const std::size_t back = std::size_t(r.bounded(int(marks.size())));
                image.rewind(marks[back].mark);
                people = marks[back].people;
                logins = marks[back].logins;
                marks.resize(back);
            }
        }
        for (const QString& person : people) ASSERT_TRUE(image.hasPerson(person));
        for (const QString& login : logins) ASSERT_TRUE(image.hasLogin(login));
    }
}

// The image made for known people (their texts numbered first) against the whole image of
// the same rows: every question a plan of those people asks, about them, about the names the
// generator draws for their login names, and about what the plan adds, is answered alike.
TEST(StoreImage, AnImageForKnownPeopleAnswersTheirQuestionsAsTheWholeImageDoes) {
    const QStringList logins = {"l1",     "l1_1000", "l1_1282", "_1000",   "_0999", "l2_12a4",
                                "l21000", "l2_0042", "",        "长_9999", "l3",    "l1_1000_1001"};
    const QList<int> numbers = {1000, 1001, 1282, 9999};
    for (quint32 seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        QRandomGenerator r(seed);
        const auto pick = [&](const QStringList& from) {
            const int n = r.bounded(from.size() + 1);
            return n == from.size() ? QString() : from[n];
        };
        QStringList ids;
        for (int i = 0; i < 30; ++i) ids << QString("P%1").arg(i);
        RowSet rows;
        for (int i = r.bounded(40); i > 0; --i) rows.rows.append({pick(ids), pick(logins)});
        rows.rows.append({QVariant(), QVariant()});
        rows.rows.append({QString("short row")});

        StoreImage whole = StoreImage::fromRows(rows, {});
        StoreImage::Asked asked;
        std::vector<std::pair<QString, StoreImage::Key>> people;
        std::vector<std::pair<QString, StoreImage::Key>> names;
        for (int i = r.bounded(20); i > 0; --i) {
            const QString id = pick(ids);
            const QString login = pick(logins);
            people.push_back({id, asked.person(id)});
            names.push_back({login, asked.login(login)});
        }
        StoreImage known = StoreImage::fromRows(rows, {}, std::move(asked));
        for (int step = 0; step < 200; ++step) {
            for (const auto& [id, key] : people)
                ASSERT_EQ(known.hasPerson(key), whole.hasPerson(id));
            for (const auto& [login, key] : names) {
                ASSERT_EQ(known.hasLogin(key), whole.hasLogin(login.isNull() ? "" : login));
                for (int number : numbers)
                    ASSERT_EQ(known.hasDrawn(key, number),
                              whole.hasLogin(DrawnLoginName(login, number)))
                        << login.toStdString() << " " << number;
            }
            // A person planned: one of the known, under its own or a drawn name.
            if (people.empty()) break;
            const std::size_t who = std::size_t(r.bounded(int(people.size())));
            const int number = numbers[r.bounded(numbers.size())];
            const QString& login = names[who].first;
            // A null PerUUID is stored as no text, as a planned person without one would be.
            const StoreImage::Key person = people[who].first.isNull() ? -1 : people[who].second;
            if (r.bounded(2)) {
                known.addPersonDrawn(person, names[who].second, number);
                whole.addPerson(people[who].first, DrawnLoginName(login, number));
            } else {
                known.addPerson(person, names[who].second);
                whole.addPerson(people[who].first, login.isNull() ? QString("") : login);
            }
        }
    }
}

}  // namespace
}  // namespace cv::test
