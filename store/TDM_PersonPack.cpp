#include "TDM_PersonPack.h"

#include <QPointer>
#include <algorithm>
#include <optional>

#include "DataPacket.h"
#include "DeptPathNames.h"
#include "HostContext.h"
#include "HostServices.h"
#include "QueryPacket.h"
#include "TCVPerson.h"

namespace cv {

namespace {

const QString kModuleName = QStringLiteral("DM_PersonPack");

// The module-level reference. A QPointer, because the application object that owns the
// module may destroy it while the library stays loaded.
QPointer<TDM_PersonPack>& moduleReference() {
    static QPointer<TDM_PersonPack> reference;
    return reference;
}

bool networked() { return host::workingStyle() == 1; }

}  // namespace

TDM_PersonPack::TDM_PersonPack(QObject* owner)
    : QObject(owner),
      CDSDept(QStringLiteral("CDSDept")),
      CDSPerson(QStringLiteral("CDSPerson")),
      ClientDstPerson(QStringLiteral("ClientDstPerson")),
      DstProvider(&dstShare),
      CdsExportPer(QStringLiteral("CdsExportPer")),
      ClientDstDept(QStringLiteral("ClientDstDept")),
      CDSTemp(QStringLiteral("CDSTemp")),
      CDSTempSelect(QStringLiteral("CDSTempSelect")),
      CdsExportDept(QStringLiteral("CdsExportDept")) {
    CDSDept.setProviderName(QStringLiteral("DspDept"));
    CDSPerson.setProviderName(QStringLiteral("DspPerson"));
    CDSTemp.setProviderName(QStringLiteral("DspTemp"));
    CDSTempSelect.setProviderName(QStringLiteral("DspSelect"));
    // The two local client datasets name DstProvider and take their rows from it directly.
    ClientDstPerson.setProviderName(QStringLiteral("DstProvider"));
    ClientDstPerson.setLocalProvider(&DstProvider);
    ClientDstDept.setProviderName(QStringLiteral("DstProvider"));
    ClientDstDept.setLocalProvider(&DstProvider);
    DataModuleCreate();
}

TDM_PersonPack::~TDM_PersonPack() = default;

void TDM_PersonPack::DataModuleCreate() {
    switch (host::workingStyle()) {
        case 2:
            baseConnection_ = host::baseConnection();
            dstShare.setConnection(baseConnection_);
            cmdShare.setConnection(baseConnection_);
            break;
        case 1:
            connectionBroker_ = host::connectionBroker();
            CDSPerson.setRemoteServer(connectionBroker_);
            CDSDept.setRemoteServer(connectionBroker_);
            CDSTemp.setRemoteServer(connectionBroker_);
            CDSTempSelect.setRemoteServer(connectionBroker_);
            break;
        default:
            break;
    }
}

bool TDM_PersonPack::PrepareStore() {
    try {
        QObject* application = currentContext().application;
        if (!application) return false;
        TDM_PersonPack* module = nullptr;
        bool created = false;
        if (QObject* found = findOwnedComponent(kModuleName)) {
            module = qobject_cast<TDM_PersonPack*>(found);
            if (!module) return false;  // the name is taken by something else
        } else {
            module = new TDM_PersonPack(application);
            module->setObjectName(kModuleName);
            created = true;
        }
        moduleReference() = module;
        const std::uint8_t style = host::workingStyle();
        if (style != 1 && style != 2) return true;  // any other style is not tested
        // The host owns the connection objects and may have replaced or closed those it
        // handed out before (a server that restarted, a store the user closed between two
        // operations): a module kept from an earlier operation asks again and follows
        // whatever the host hands out now, never touching what it held.
        if (!created) module->DataModuleCreate();
        return module->attachedAnswers(style);
    } catch (const DbError&) {
        return false;
    }
}

bool TDM_PersonPack::attachedAnswers(std::uint8_t style) const {
    if (style == 2) return baseConnection_ && baseConnection_->connected();
    return connectionBroker_ && connectionBroker_->connected();
}

TDM_PersonPack* TDM_PersonPack::instance() { return moduleReference().data(); }

void TDM_PersonPack::copyResult(ClientDataSet& target, const QString& sql,
                                ClientDataSet& localClient) {
    if (networked()) {
        CDSTemp.close();
        CDSTemp.setCommandText(sql);
        CDSTemp.open();
        target.copyDataFrom(CDSTemp);
    } else {
        dstShare.close();
        dstShare.setCommandText(sql);
        localClient.close();
        localClient.open();
        target.copyDataFrom(localClient);
    }
}

bool TDM_PersonPack::FetchRows(ClientDataSet& target, const QString& sql) {
    try {
        copyResult(target, sql, ClientDstPerson);
        return true;
    } catch (const DbError&) {
        return false;
    }
}

bool TDM_PersonPack::StreamRows(const QString& sql, StagedFile& file) {
    if (!rowStreaming_) return false;
    try {
        // Networked, the server sends the packet that the client saves.
        return networked() ? connectionBroker_->streamPacket(CDSTemp.providerName(), sql, file)
                           : streamQueryPacket(dstShare.connection(), sql, file);
    } catch (const DbError&) {
        return false;  // the dataset's way meets the same refusal and answers it
    }
}

// The rows of `sql` as texts, on the connection of the style: the server's through the
// broker, or the host's.
TextRows TDM_PersonPack::readTexts(const QString& sql) {
    return networked() ? connectionBroker_->fetchTexts(CDSTemp.providerName(), sql)
                       : readTextRows(dstShare.connection(), sql);
}

bool TDM_PersonPack::FetchWithDeptPaths(ClientDataSet& target, const QString& sql) {
    try {
        copyResult(target, sql, ClientDstDept);
        // The rows are in the target before the names are read: the reading reuses the shared
        // query dataset that delivered them. The datasets that hold them let them go, so that
        // the paths are written into the rows where they are rather than into copies.
        RowSet data = target.data();
        target.close();
        (networked() ? CDSTemp : ClientDstDept).close();
        const int idColumn = data.indexOf(QStringLiteral("DeptID"));
        const int nameColumn = data.indexOf(QStringLiteral("DeptName"));
        if (idColumn < 0 || nameColumn < 0)
            throw StoreError("the department rows have no DeptID or DeptName");
        FieldDef& nameField = data.fields[nameColumn];

        // The reference asks for each code once; the one read takes every department's name
        // in one statement.
        QHash<QString, QString> looked;
        std::optional<DeptPaths> paths;
        if (deptNameSource_ == DeptNameSource::OneRead && !data.rows.isEmpty())
            paths.emplace(readTexts(DeptNamesSql()));
        const auto pathOf = [&](const QVariant& deptId) {
            // A text code is looked up where it stands, without a copy.
            if (paths && deptId.metaType() == QMetaType::fromType<QString>())
                return paths->pathOf(*static_cast<const QString*>(deptId.constData()));
            const QString code = valueText(deptId);
            return paths ? paths->pathOf(code) : TCVPerson::GetDeptPathName(code, &looked);
        };
        for (Row& row : data.rows) {
            QString path = pathOf(std::as_const(row)[idColumn]);
            // A path is kept whole: the field grows to the longest one.
            if (nameField.width > 0) nameField.width = std::max<int>(nameField.width, path.size());
            row[nameColumn] = QVariant(std::move(path));
        }
        target.setData(std::move(data));
        return true;
    } catch (const DbError&) {
        return false;
    } catch (const StoreError&) {
        return false;
    }
}

bool TDM_PersonPack::sortsSelection() const {
    const Connection* store =
        networked() ? (connectionBroker_ ? &connectionBroker_->serverConnection() : nullptr)
                    : baseConnection_;
    return sortedSelection_ && store && store->dialect() == Dialect::SQLite;
}

bool TDM_PersonPack::IsEmptyResult(const QString& sql) {
    if (networked()) {
        CDSTemp.close();
        CDSTemp.setCommandText(sql);
        CDSTemp.open();
        const bool empty = CDSTemp.eof();
        CDSTemp.close();
        return empty;
    }
    dstShare.close();
    dstShare.setCommandText(sql);
    dstShare.open();
    const bool empty = dstShare.eof();
    dstShare.close();
    return empty;
}

}  // namespace cv
