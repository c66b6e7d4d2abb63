#include "app/shell/ApplicationService.h"

#include "app/services/ApplicationID.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace larkpin {
namespace {

constexpr auto interfaceName = "org.freedesktop.Application";
constexpr int forwardTimeoutMilliseconds = 10'000;

QDBusConnection sessionBus()
{
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        throw ApplicationService::ServiceError("The session bus is not available: " +
                                               bus.lastError().message().toStdString());
    return bus;
}

} // namespace

ApplicationService::ActivationToken ApplicationService::ActivationToken::fromEnvironment()
{
    return {qEnvironmentVariable("DESKTOP_STARTUP_ID"), qEnvironmentVariable("XDG_ACTIVATION_TOKEN")};
}

QVariantMap ApplicationService::ActivationToken::platformData() const
{
    QVariantMap data;
    if (!desktopStartupID.isEmpty())
        data.insert(QStringLiteral("desktop-startup-id"), desktopStartupID);
    if (!activationToken.isEmpty())
        data.insert(QStringLiteral("activation-token"), activationToken);
    return data;
}

ApplicationService::ApplicationService(QObject* parent)
    : QObject(parent)
{
}

ApplicationService::~ApplicationService()
{
    if (registered_)
        QDBusConnection::sessionBus().unregisterObject(objectPath());
}

QString ApplicationService::busName()
{
    return QString::fromUtf8(applicationID.data(), qsizetype(applicationID.size()));
}

QString ApplicationService::objectPath()
{
    return u'/' + busName().replace(u'.', u'/');
}

ApplicationService::Claim ApplicationService::claim()
{
    auto bus = sessionBus();
    // The object is served before the name is owned, so that the first call to the name finds it.
    if (!registered_) {
        registered_ = bus.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots);
        if (!registered_)
            throw ServiceError("Could not serve " + objectPath().toStdString() + " on the session bus");
    }
    const auto reply = bus.interface()->registerService(busName(), QDBusConnectionInterface::DontQueueService,
                                                        QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid())
        throw ServiceError("Could not ask for " + busName().toStdString() +
                           " on the session bus: " + reply.error().message().toStdString());
    if (reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return Claim::owned;
    bus.unregisterObject(objectPath());
    registered_ = false;
    return Claim::ownedByAnotherInstance;
}

void ApplicationService::forward(const QList<QUrl>& urls, const ActivationToken& token)
{
    auto bus = sessionBus();
    auto call = QDBusMessage::createMethodCall(busName(), objectPath(), interfaceName,
                                               urls.isEmpty() ? "Activate" : "Open");
    if (urls.isEmpty()) {
        call << token.platformData();
    } else {
        QStringList uris;
        for (const auto& url : urls)
            uris << url.toString(QUrl::FullyEncoded);
        call << uris << token.platformData();
    }
    const auto reply = bus.call(call, QDBus::Block, forwardTimeoutMilliseconds);
    if (reply.type() == QDBusMessage::ErrorMessage)
        throw ServiceError("The running Larkpin did not take the request: " +
                           reply.errorMessage().toStdString());
}

void ApplicationService::Activate(const QVariantMap& platformData)
{
    takeActivationToken(platformData);
    emit activated();
}

void ApplicationService::Open(const QStringList& uris, const QVariantMap& platformData)
{
    takeActivationToken(platformData);
    QList<QUrl> urls;
    for (const auto& uri : uris)
        urls << QUrl(uri);
    emit openRequested(urls);
}

void ApplicationService::ActivateAction(const QString& actionName, const QVariantList&, const QVariantMap&)
{
    // The desktop entry declares no actions, so no name is known.
    sendErrorReply(QDBusError::InvalidArgs,
                   QStringLiteral("Larkpin has no action named \"%1\"").arg(actionName));
}

void ApplicationService::takeActivationToken(const QVariantMap& platformData)
{
    // The windows presented next ask for the focus with the launcher's token: Wayland reads it from
    // XDG_ACTIVATION_TOKEN when a window requests activation, X11 from DESKTOP_STARTUP_ID.
    if (const auto token = platformData.value(QStringLiteral("activation-token")).toString();
        !token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    if (const auto id = platformData.value(QStringLiteral("desktop-startup-id")).toString(); !id.isEmpty())
        qputenv("DESKTOP_STARTUP_ID", id.toUtf8());
}

} // namespace larkpin
