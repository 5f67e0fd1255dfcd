#include "HostContext.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QWidget>

namespace cv {
namespace {

// Carries a registered widget's name under the application object and destroys the widget
// with itself. The widget's Qt parent is the host's window, which may destroy it first; the
// QPointer then reads null and nothing is destroyed twice.
class OwnedWidgetHolder : public QObject {
public:
    OwnedWidgetHolder(QObject* owner, const QString& name, QWidget* widget)
        : QObject(owner), widget_(widget) {
        setObjectName(name);
    }
    ~OwnedWidgetHolder() override { delete widget_.data(); }
    QWidget* widget() const { return widget_.data(); }

private:
    QPointer<QWidget> widget_;
};

OwnedWidgetHolder* findHolder(const QString& name) {
    return dynamic_cast<OwnedWidgetHolder*>(findOwnedComponent(name));
}

}  // namespace

HostContext& currentContext() {
    static HostContext context;
    return context;
}

HostContext& savedContext() {
    static HostContext context;
    return context;
}

void recordSavedContext() {
    HostContext& saved = savedContext();
    saved.application = QCoreApplication::instance();
    saved.screen = qobject_cast<QGuiApplication*>(saved.application)
                       ? QGuiApplication::primaryScreen()
                       : nullptr;
    saved.hintWindowClass = nullptr;
    currentContext() = saved;
}

void installContext(void* application, void* screen, void* hintWindowClass) {
    HostContext& current = currentContext();
    current.application = static_cast<QObject*>(application);
    current.screen = static_cast<QScreen*>(screen);
    current.hintWindowClass = hintWindowClass;
}

void processNotification(int reason) {
    switch (reason) {
        case 0:
            currentContext() = savedContext();
            break;
        case 1:
            recordSavedContext();
            break;
        default:
            break;
    }
}

QString executableDirectory() {
    QString dir = QCoreApplication::applicationDirPath();
    if (!dir.endsWith('/')) dir += '/';
    return dir;
}

QObject* findOwnedComponent(const QString& name) {
    QObject* owner = currentContext().application;
    if (!owner) return nullptr;
    return owner->findChild<QObject*>(name, Qt::FindDirectChildrenOnly);
}

bool registerOwnedWidget(const QString& name, QWidget* widget) {
    QObject* owner = currentContext().application;
    if (!owner || findOwnedComponent(name)) return false;
    new OwnedWidgetHolder(owner, name, widget);
    return true;
}

QWidget* findOwnedWidget(const QString& name) {
    OwnedWidgetHolder* holder = findHolder(name);
    return holder ? holder->widget() : nullptr;
}

bool destroyOwnedWidget(const QString& name) {
    OwnedWidgetHolder* holder = findHolder(name);
    if (!holder) return false;
    delete holder;
    return true;
}

}  // namespace cv
