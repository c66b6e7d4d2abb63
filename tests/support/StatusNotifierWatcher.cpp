#include "support/StatusNotifierWatcher.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDeadlineTimer>

#include <stdexcept>

namespace larkpin::test {

namespace {
const QString connectionName = QStringLiteral("larkpin-test-status-notifier-watcher");
}

StatusNotifierWatcher::StatusNotifierWatcher()
    : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName))
{
    const auto fail = [this] {
        throw std::runtime_error("The StatusNotifier watcher could not take its place on the session bus: " +
                                 connection_.lastError().message().toStdString());
    };
    // The object first, since Qt introspects it as soon as the name appears; it moves to its thread
    // with the helpers that registering gives it.
    const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                          QDBusConnection::ExportAllProperties;
    if (!connection_.registerObject(QStringLiteral("/StatusNotifierWatcher"), this, exported))
        fail();
    moveToThread(&thread_);
    const auto host = QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid());
    if (!connection_.registerService(QStringLiteral("org.kde.StatusNotifierWatcher")) ||
        !connection_.registerService(host))
        fail();
    thread_.start();
}

StatusNotifierWatcher::~StatusNotifierWatcher()
{
    // Back to the thread it is destroyed in, so that QtDBus forgets it there.
    QMetaObject::invokeMethod(
        this, [this] { moveToThread(QCoreApplication::instance()->thread()); }, Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
    connection_.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    QDBusConnection::disconnectFromBus(connectionName);
}

QStringList StatusNotifierWatcher::registeredItems() const
{
    const QMutexLocker lock(&mutex_);
    return items_;
}

QByteArray StatusNotifierWatcher::iconPixels(const QString& item)
{
    auto get = QDBusMessage::createMethodCall(item, QStringLiteral("/StatusNotifierItem"),
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("Get"));
    QDBusPendingReply<QDBusVariant> reply = QDBusConnection::sessionBus().asyncCall(
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("IconPixmap"));
    for (const QDeadlineTimer deadline(30'000); !reply.isFinished() && !deadline.hasExpired();)
        QCoreApplication::processEvents(), QThread::msleep(1);
    if (!reply.isFinished() || reply.isError())
        throw std::runtime_error("The item " + item.toStdString() +
                                 " did not tell its icon: " + reply.error().message().toStdString());
    const auto pixmaps = reply.value().variant().value<QDBusArgument>();
    QByteArray pixels;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0, height = 0;
        QByteArray bytes;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> bytes;
        pixmaps.endStructure();
        pixels += bytes;
    }
    pixmaps.endArray();
    return pixels;
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message)
{
    const auto item = service.startsWith('/') ? message.service() + service : service;
    {
        const QMutexLocker lock(&mutex_);
        items_ << item;
    }
    emit StatusNotifierItemRegistered(item);
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString&)
{
    emit StatusNotifierHostRegistered();
}

} // namespace larkpin::test
