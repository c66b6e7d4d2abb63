#pragma once

#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <stdexcept>

namespace larkpin {

/// Keeps the application single-instance on the session bus: the first process owns the bus name
/// `dev.larkpin.Larkpin` and serves `org.freedesktop.Application` at `/dev/larkpin/Larkpin`; a later
/// one hands its URLs and activation token to it and ends. Main thread only.
class ApplicationService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

public:
    /// The session bus could not be reached or refused the call. `what()` says why.
    class ServiceError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    /// What the desktop gave this launch to let its window take the focus ("desktop-startup-id"
    /// on X11, "activation-token" on Wayland), read before the display connection consumes it.
    struct ActivationToken {
        QString desktopStartupID;
        QString activationToken;

        static ActivationToken fromEnvironment();
        QVariantMap platformData() const;
    };

    enum class Claim { owned, ownedByAnotherInstance };

    explicit ApplicationService(QObject* parent = nullptr);
    ~ApplicationService() override;

    /// Registers the interface and asks for the bus name. Throws ServiceError without a session bus.
    Claim claim();
    /// Hands the URLs to the instance that owns the name (Open; Activate when there are none).
    /// Throws ServiceError when it does not answer.
    static void forward(const QList<QUrl>& urls, const ActivationToken& token);

    static QString busName();
    static QString objectPath();

public Q_SLOTS:
    // org.freedesktop.Application
    Q_SCRIPTABLE void Activate(const QVariantMap& platformData);
    Q_SCRIPTABLE void Open(const QStringList& uris, const QVariantMap& platformData);
    Q_SCRIPTABLE void ActivateAction(const QString& actionName, const QVariantList& parameter,
                                     const QVariantMap& platformData);

signals:
    void activated();
    void openRequested(const QList<QUrl>& urls);

private:
    void takeActivationToken(const QVariantMap& platformData);

    bool registered_ = false;
};

} // namespace larkpin
