// The image's people and login names against plain sets of strings: on seeded random runs of
// additions (by text and by number), questions and take-backs to a mark, across many growths
// of its slots, every answer is the sets' answer. A null text is the empty one, as in the
// store's statements, and is never added.
#include <gtest/gtest.h>

#include <QRandomGenerator>
#include <QSet>
#include <vector>

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

}  // namespace
}  // namespace cv::test
