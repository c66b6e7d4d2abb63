#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>

namespace larkpin::test {

/// The desktop's side of the StatusNotifierItem tray, for tests: owns org.kde.StatusNotifierWatcher
/// and a host name on a session-bus connection of its own and answers from a thread of its own, so
/// that Qt's blocking checks from the main thread (when a tray icon is created) get their answers.
/// Qt decides once per process whether this tray exists: start it before the first tray icon.
class StatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    StatusNotifierWatcher();
    ~StatusNotifierWatcher() override;

    /// The registered items as their bus names (an item that registered by object path: name + path).
    QStringList registeredItems() const;
    /// What a host shows of an item: the pixels of every size of its IconPixmap, in a row. Waits for
    /// the answer processing this thread's events, since items answer from the main thread; throws
    /// when the item does not answer.
    static QByteArray iconPixels(const QString& item);
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message);
    void RegisterStatusNotifierHost(const QString& service);

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierItemUnregistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QThread thread_;
    QDBusConnection connection_;
    mutable QMutex mutex_;
    QStringList items_;
};

} // namespace larkpin::test
