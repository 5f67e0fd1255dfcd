#include "FailureLines.h"

#include <QObject>
#include <stdexcept>

#include "HostContext.h"
#include "HostServices.h"
#include "TDM_PersonPack.h"
#include "TFramePerson.h"

namespace cv {

void LogFailure(const QString& head, const QString& reason) { host::writeLog(head + reason); }

QString StoreUnusableReason() {
    if (!currentContext().application) return QStringLiteral("主机没有传入它的应用程序对象");
    const auto* module =
        qobject_cast<const TDM_PersonPack*>(findOwnedComponent(QStringLiteral("DM_PersonPack")));
    if (!module)
        return QStringLiteral("数据模块 DM_PersonPack 无法建立 (这个名字已被别的组件占用)");
    switch (host::workingStyle()) {
        case 2:
            return module->BaseConnection() ? QStringLiteral("数据库没有响应 (连接已断开)")
                                            : QStringLiteral(
                                                  "主机没有提供数据库连接 (数据库打不开, "
                                                  "或数据库服务器不再接受连接)");
        case 1:
            return module->ConnectionBroker()
                       ? QStringLiteral("应用服务器的数据库没有响应 (连接已断开)")
                       : QStringLiteral(
                             "主机没有提供应用服务器的连接 (服务器的数据库打不开, "
                             "或不再接受连接)");
        default:
            return QStringLiteral("数据库不可用");
    }
}

QString FrameUnavailableReason() {
    if (!currentContext().application) return QStringLiteral("主机没有传入它的应用程序对象");
    if (findOwnedWidget(TFramePerson::InstanceName))
        return QStringLiteral("上一个人员选择框架还没有释放 (CVPackage_Free)");
    return QStringLiteral("无法建立人员选择框架");
}

QString CurrentExceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("未知的错误");
    }
}

}  // namespace cv
