#include "TCVPerson.h"

#include <exception>
#include <optional>

#include "DeptPathPlan.h"
#include "HostServices.h"
#include "LoginNames.h"
#include "StoreSql.h"
#include "TDM_PersonPack.h"

namespace cv {

namespace {

// The unit's state: the code left by ResolveDeptPath.
QString resolvedDeptID;

bool networked() { return host::workingStyle() == 1; }

TDM_PersonPack& dataModule() {
    TDM_PersonPack* module = TDM_PersonPack::instance();
    if (!module) throw StoreError("the data module DM_PersonPack has not been created");
    return *module;
}

// Opens `dataset` (a client dataset or a query) on `sql`; false when opening fails.
template <typename DataSet>
bool reopen(DataSet& dataset, const QString& sql) {
    try {
        dataset.close();
        dataset.setCommandText(sql);
        dataset.open();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Runs `sql` in a protected step on the query dataset of the style (CDSDept networked,
// dstShare local) and reads `field` of its first row; nothing when opening fails.
std::optional<QString> firstRowText(TDM_PersonPack& module, const QString& sql,
                                    const QString& field) {
    if (networked()) {
        if (!reopen(module.CDSDept, sql)) return std::nullopt;
        return module.CDSDept.text(field);
    }
    if (!reopen(module.dstShare, sql)) return std::nullopt;
    return module.dstShare.fieldText(field);
}

// An empty text that stays an empty text: the database layers bind a null QString as NULL.
QString text(const QString& value) { return value.isNull() ? QStringLiteral("") : value; }

// Stores a new department; false when the database or the application server refuses it.
bool storeDept(TDM_PersonPack& module, const QString& deptId, const QString& name) {
    if (networked()) {
        ClientDataSet& dataset = module.CDSTempSelect;
        dataset.close();
        dataset.setCommandText(storesql::topDept());
        dataset.open();
        dataset.append();
        dataset.setValue(QStringLiteral("DeptId"), deptId);
        dataset.setValue(QStringLiteral("DeptName"), text(name));
        dataset.setValue(QStringLiteral("DeptMemo"), QStringLiteral(""));
        dataset.post();
        try {
            return dataset.applyUpdates(-1) == 0;
        } catch (const std::exception&) {
            return false;
        }
    }
    module.cmdShare.setCommandText(QString());
    module.cmdShare.setCommandText(storesql::insertDept(deptId, name));
    try {
        module.cmdShare.execute();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

DeptQuestions StoreDeptQuestions() {
    return {[](int level, const QString& name, const QString& parent) {
                return firstRowText(dataModule(), storesql::deptLookup(level, name, parent),
                                    QStringLiteral("DeptID"));
            },
            [](int level, const QString& parent) {
                return firstRowText(dataModule(), storesql::deptMaximum(level, parent),
                                    QStringLiteral("DeptId1"));
            }};
}

QString TCVPerson::GetDeptName(const QString& deptId) {
    TDM_PersonPack& module = dataModule();
    const QString sql = storesql::deptName(deptId);
    if (networked()) {
        // CDSTemp stays open after the read.
        module.CDSTemp.close();
        module.CDSTemp.setCommandText(sql);
        module.CDSTemp.open();
        return module.CDSTemp.eof() ? QString() : module.CDSTemp.text(QStringLiteral("DeptName"));
    }
    module.dstShare.close();
    module.dstShare.setCommandText(sql);
    module.dstShare.open();
    const QString name =
        module.dstShare.eof() ? QString() : module.dstShare.fieldText(QStringLiteral("DeptName"));
    module.dstShare.close();
    return name;
}

QString TCVPerson::GetDeptPathName(const QString& deptId, QHash<QString, QString>* known) {
    const auto name = [known](const QString& code) {
        if (!known) return GetDeptName(code);
        if (const auto found = known->constFind(code); found != known->cend()) return *found;
        return *known->insert(code, GetDeptName(code));
    };
    const qsizetype levels = deptId.size() / 4;
    if (levels < 2) return name(deptId);
    QString path;
    for (qsizetype k = 1; k < levels; ++k) {
        path += name(deptId.left(4 * k));
        path += QLatin1Char('_');
    }
    return path + name(deptId);
}

bool TCVPerson::PersonExists(const QString& perUUID) {
    return !dataModule().IsEmptyResult(storesql::personByUUID(perUUID));
}

bool TCVPerson::LoginNameExists(const QString& loginName) {
    return !dataModule().IsEmptyResult(storesql::personByLoginName(loginName));
}

bool TCVPerson::InsertPerson(const TCVPersonInfo& person) {
    if (!networked()) {
        return ExecuteSQL(storesql::insertPerson(person.PerUUID, person.PerName, person.PerSex,
                                                 person.PerMemo, person.LoginName, person.UPassword,
                                                 person.PerDept));
    }
    ClientDataSet& dataset = dataModule().CDSPerson;
    dataset.close();
    dataset.setCommandText(storesql::topPerson());
    dataset.open();
    dataset.append();
    // An empty field is stored as an empty text, never as NULL.
    dataset.setValue(QStringLiteral("PerUUID"), text(person.PerUUID));
    dataset.setValue(QStringLiteral("PerName"), text(person.PerName));
    dataset.setValue(QStringLiteral("PerSex"), text(person.PerSex));
    dataset.setValue(QStringLiteral("PerMemo"), text(person.PerMemo));
    dataset.setValue(QStringLiteral("LoginName"), text(person.LoginName));
    dataset.setValue(QStringLiteral("UPassword"), text(person.UPassword));
    dataset.setValue(QStringLiteral("PerDept"), text(person.PerDept));
    dataset.setValue(QStringLiteral("PrjID"), 0);
    dataset.post();
    try {
        // A record that the server refuses shows only in the count: that is a failure too.
        return dataset.applyUpdates(-1) == 0;
    } catch (const std::exception&) {
        return false;
    }
}

QString TCVPerson::MakeUniqueLoginName(const QString& loginName) {
    return UniqueLoginName(loginName,
                           [](QStringView name) { return LoginNameExists(name.toString()); });
}

bool TCVPerson::ExecuteSQL(const QString& sql) {
    Command& command = dataModule().cmdShare;
    command.setCommandText(sql);
    try {
        command.execute();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TCVPerson::ResolveDeptPath(const QString& deptPath, const QString& oldCode) {
    const qsizetype levels = oldCode.size() / 4;
    QString rest = deptPath;
    resolvedDeptID.clear();
    bool result = !networked();
    TDM_PersonPack& module = dataModule();

    for (int level = 0; level < levels; ++level) {
        const qsizetype split = rest.indexOf(QLatin1Char('_'));
        const QString name = split < 0 ? rest : rest.left(split);
        rest = split < 0 ? QString() : rest.mid(split + 1);
        const QString lookup = storesql::deptLookup(level, name, resolvedDeptID);

        if (!module.IsEmptyResult(lookup)) {
            // Found: when several share the name at this level, the first row decides.
            const auto found = firstRowText(module, lookup, QStringLiteral("DeptID"));
            if (!found) return false;
            resolvedDeptID = *found;
            result = true;
            continue;
        }

        // Missing: the next code after the greatest at this level under the parent.
        const QString maximumSql = storesql::deptMaximum(level, resolvedDeptID);
        const auto found = firstRowText(module, maximumSql, QStringLiteral("DeptId1"));
        if (!found) return false;
        const QString maximum = *found;
        QString newCode;
        if (maximum.isEmpty()) {
            newCode = resolvedDeptID + QStringLiteral("0001");
        } else {
            newCode = storesql::incrementDecimal(maximum);
            // "9999" is the last code of a level: one more would carry into the parent's
            // part (or make a 5-character top-level code).
            if (newCode.size() != 4 * (level + 1) || !newCode.startsWith(resolvedDeptID))
                return false;
        }
        if (!storeDept(module, newCode, name)) return false;
        resolvedDeptID = newCode;
        result = true;
    }
    return result;
}

const QString& TCVPerson::ResolvedDeptID() { return resolvedDeptID; }

void TCVPerson::ResetLoginNameGenerator() { cv::ResetLoginNameGenerator(); }

}  // namespace cv
