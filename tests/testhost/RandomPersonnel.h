// Seeded random personnel for differential tests: departments whose codes run deep, have
// odd lengths, letters, blanks and quotes, whose names repeat under other parents, hold "_"
// or are NULL, some levels missing between a department and the top; people whose names
// repeat or are NULL, whose department is a code with a row, a code without one, a code
// that differs only in letter case or a trailing blank, the empty text or NULL; now and then
// the two reserved people.
#pragma once

#include <QRandomGenerator>
#include <QSet>
#include <QStringList>
#include <algorithm>
#include <optional>

#include "Database.h"
#include "TestHost.h"

namespace testhost {

struct RandomPersonnel {
    struct Dept {
        QString id;
        std::optional<QString> name;  // a null `id` stands for NULL
    };
    struct Person {
        QString uuid;
        std::optional<QString> name;
        std::optional<QString> sex;
        std::optional<QString> login;
        std::optional<QString> dept;
    };
    QList<Dept> depts;
    QList<Person> people;

    explicit RandomPersonnel(quint32 seed) {
        QRandomGenerator random(seed);
        const auto chance = [&random](int percent) { return int(random.bounded(100)) < percent; };
        const auto pick = [&random](const QStringList& from) {
            return from[int(random.bounded(qsizetype(from.size())))];
        };
        const QStringList deptNames = {"总部", "财务", "研发",     "A",
                                       "B",    "a_b",  "",         "_",
                                       "C'D",  " x ",  "<b>z</b>", QString(60, u'长')};
        const QStringList segments = {"0001", "0002", "0003", "0001", "abcd", "ABCD",
                                      "0'01", "00 1", "1",    "12",   "123",  "12345"};

        // Codes under codes, some never given a row: their children miss a level.
        QStringList codes;
        QSet<QString> taken;
        const int codeCount = int(random.bounded(28));
        for (int i = 0; i < codeCount; ++i) {
            const QString parent = codes.isEmpty() || chance(30) ? QString() : pick(codes);
            const QString code = parent + pick(segments);
            if (code.size() > 60 || taken.contains(code)) continue;
            taken.insert(code);
            codes << code;
        }
        for (const QString& code : codes) {
            if (chance(80))
                depts.append({code, chance(10) ? std::nullopt : std::optional(pick(deptNames))});
        }
        // An empty code, and a NULL one where the store lets a key be NULL (SQLite does).
        if (chance(10)) depts.append({QString(""), pick(deptNames)});
        if (chance(10)) depts.append({QString(), pick(deptNames)});

        const QStringList names = {"张三", "李四", "王五", "a", "A", "", "O'Brien", "张三 "};
        const QStringList sexes = {"男", "女", " 男 ", "F", ""};
        const int personCount = int(random.bounded(40));
        for (int i = 0; i < personCount; ++i) {
            Person p;
            p.uuid = chance(5)    ? QStringLiteral("111111111111111111")
                     : chance(5)  ? QStringLiteral("222222222222222222")
                     : chance(10) ? QStringLiteral("q'%1").arg(i)
                                  : QStringLiteral("P%1").arg(i);
            if (std::any_of(people.cbegin(), people.cend(),
                            [&p](const Person& other) { return other.uuid == p.uuid; }))
                p.uuid = QStringLiteral("P%1").arg(i);
            p.name = chance(10) ? std::nullopt : std::optional(pick(names));
            p.sex = chance(10) ? std::nullopt : std::optional(pick(sexes));
            p.login = chance(10) ? std::nullopt : std::optional(QStringLiteral("l%1").arg(i));
            const int where = int(random.bounded(100));
            if (where < 10 || codes.isEmpty()) {
                p.dept = std::nullopt;
            } else if (where < 15) {
                p.dept = QString("");
            } else if (where < 20) {
                p.dept = pick(codes).toUpper() + (chance(50) ? " " : "");
            } else {
                p.dept = pick(codes);  // with or without a row
            }
            people.append(p);
        }
    }

    // Replaces the installation's personnel by this one, in two statements.
    void store(Installation& installation) const {
        installation.exec("DELETE FROM CV_PersonInfo");
        installation.exec("DELETE FROM CV_DeptInfo");
        const auto value = [](const std::optional<QString>& v) {
            return v ? cv::sqlQuote(*v) : QStringLiteral("NULL");
        };
        QStringList rows;
        const bool nullKeys = installation.db().dialect() == cv::Dialect::SQLite;
        for (const Dept& d : depts) {
            if (d.id.isNull() && !nullKeys) continue;
            rows << "(" + (d.id.isNull() ? QStringLiteral("NULL") : cv::sqlQuote(d.id)) + ", " +
                        value(d.name) + ", 'memo')";
        }
        if (!rows.isEmpty())
            installation.exec("INSERT INTO CV_DeptInfo(DeptID, DeptName, DeptMemo) VALUES " +
                              rows.join(", "));
        rows.clear();
        for (const Person& p : people)
            rows << "(" + cv::sqlQuote(p.uuid) + ", " + value(p.name) + ", " + value(p.sex) + ", " +
                        value(p.login) + ", " + value(p.dept) + ", 'pw', 0)";
        if (!rows.isEmpty())
            installation.exec(
                "INSERT INTO CV_PersonInfo(PerUUID, PerName, PerSex, LoginName, PerDept, "
                "UPassword, PrjID) VALUES " +
                rows.join(", "));
    }
};

}  // namespace testhost
