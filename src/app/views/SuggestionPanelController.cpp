#include "app/views/SuggestionPanelController.h"

#include "app/model/QtTime.h"

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace larkpin {

namespace {

QRect toRect(const ScreenRect& frame)
{
    return QRect(int(std::floor(frame.x)), int(std::floor(frame.y)), int(std::ceil(frame.width)),
                 int(std::ceil(frame.height)));
}

QVariantList codesForView(const std::vector<OTPCode>& codes)
{
    QVariantList list;
    for (const auto& code : codes)
        list.append(QVariantMap{{QStringLiteral("value"), QString::fromStdString(code.value)},
                                {QStringLiteral("issuer"), QString::fromStdString(code.issuer)},
                                {QStringLiteral("accountEmail"), QString::fromStdString(code.accountEmail)},
                                {QStringLiteral("expiresAt"), toQDateTime(code.expiresAt)}});
    return list;
}

xcb_atom_t atom(xcb_connection_t* connection, const char* name)
{
    const auto cookie = xcb_intern_atom(connection, 1, std::uint16_t(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

/// The 32-bit values of a window property; empty when it is missing.
std::vector<std::uint32_t> cardinals(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
                                     xcb_atom_t type)
{
    const auto cookie = xcb_get_property(connection, 0, window, property, type, 0, 1 << 16);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->format != 32)
        return {};
    const auto* values = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

xcb_connection_t* x11Connection()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

/// Whether the window manager lists a window of `processID` (_NET_CLIENT_LIST, _NET_WM_PID).
bool hasX11Window(std::int32_t processID)
{
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t pid = atom(connection, "_NET_WM_PID");
    for (const auto window :
         cardinals(connection, root, atom(connection, "_NET_CLIENT_LIST"), XCB_ATOM_WINDOW)) {
        const auto owner = cardinals(connection, window, pid, XCB_ATOM_CARDINAL);
        if (!owner.empty() && std::int32_t(owner.front()) == processID)
            return true;
    }
    return false;
}

/// Whether a compositing manager draws the screen, so that clear pixels show what lies beneath.
/// Outside X11 (a Wayland compositor) always.
bool compositing()
{
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return true;
    const auto cookie = xcb_get_selection_owner(connection, atom(connection, "_NET_WM_CM_S0"));
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(connection, cookie, nullptr), &std::free);
    return reply && reply->owner != XCB_NONE;
}

/// Keeps an unmapped window out of taskbars and pagers, which list Qt's tool windows (utility
/// windows) on some desktops. Qt adds its own states to these when it maps the window; the window
/// manager drops them all when it is unmapped.
void skipTaskbar(QWindow& window)
{
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return;
    const xcb_atom_t states[] = {atom(connection, "_NET_WM_STATE_SKIP_TASKBAR"),
                                 atom(connection, "_NET_WM_STATE_SKIP_PAGER")};
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, xcb_window_t(window.winId()),
                        atom(connection, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 2, states);
}

/// Lays `item` out now, innermost layouts first, so that its height is known before it is placed.
void polishTree(QQuickItem* item)
{
    for (QQuickItem* child : item->childItems())
        polishTree(child);
    item->ensurePolished();
}

} // namespace

SuggestionPanelController::SuggestionPanelController(std::function<std::shared_ptr<QQmlEngine>()> engine,
                                                     std::shared_ptr<const Clock> clock, ScreenList screens,
                                                     FramesTrusted framesTrusted)
    : makeEngine_(std::move(engine))
    , clock_(std::move(clock))
    , screens_(std::move(screens))
    , framesTrusted_(std::move(framesTrusted))
{
    // A panel on a screen that went away is placed afresh at the next show.
    if (qGuiApp)
        connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this] { signature_.reset(); });
}

SuggestionPanelController::~SuggestionPanelController()
{
    // Through deferred deletion, as the presenter closes its windows: the tooltips go first.
    if (QQuickWindow* window = window_.release()) {
        window->close();
        window->deleteLater();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

void SuggestionPanelController::create()
{
    engine_ = makeEngine_();
    QQmlComponent component(engine_.get(), QUrl(QStringLiteral("qrc:/Larkpin/SuggestionWindow.qml")));
    std::unique_ptr<QObject> object(component.create());
    auto* window = qobject_cast<QQuickWindow*>(object.get());
    if (!window)
        throw std::runtime_error("Could not load SuggestionWindow.qml: " +
                                 component.errorString().toStdString());
    object.release();
    window_.reset(window);
    view_ = window_->property("view").value<QQuickItem*>();
    const bool translucent = drawShadow_.value_or(compositing());
    view_->setProperty("translucent", translucent);
    if (translucent) {
        QSurfaceFormat format = window_->format();
        format.setAlphaBufferSize(8); // the shadow around the card
        window_->setFormat(format);
    }
    connect(view_, SIGNAL(fillRequested(int)), this, SLOT(requestFill(int)));
    connect(view_, SIGNAL(refreshRequested()), this, SLOT(requestRefresh()));
    connect(window_.get(), &QQuickWindow::frameSwapped, this, [this] {
        if (std::exchange(announceFrame_, false))
            emit drawn(window_->geometry());
    });
}

void SuggestionPanelController::show(const std::vector<OTPCode>& codes,
                                     const SuggestionRefreshState& refreshState, bool isSyncing,
                                     const FocusedField& field, std::function<void()> refresh,
                                     std::function<void(const OTPCode&)> fill)
{
    if (!window_)
        create();
    Signature signature{.field = field.element,
                        .frame = toRect(field.frame),
                        .codeIDs = {},
                        .refreshState = refreshState,
                        .isSyncing = isSyncing,
                        .relativeTimeBucket = std::int64_t(std::floor(secondsSince1970(clock_->now()) / 30))};
    for (const auto& code : codes)
        signature.codeIDs.push_back(code.id);
    if (signature == signature_ && window_->isVisible())
        return;

    codes_ = codes;
    refresh_ = std::move(refresh);
    fill_ = std::move(fill);
    filling_ = false;
    view_->setProperty("codes", codesForView(codes));
    view_->setProperty("isSyncing", isSyncing);
    view_->setProperty("isRefreshing", refreshState.isRefreshing);
    view_->setProperty("errorMessage", refreshState.errorText());
    view_->setProperty("lastUpdatedAt", refreshState.lastUpdated());
    polishTree(view_);
    window_->resize(int(std::ceil(view_->width())), int(std::ceil(view_->height())));

    // The card lies inside the window's shadow margins; the rule places the card.
    const int shadow = view_->property("shadowMargin").toInt();
    const QSize card = window_->size() - QSize(2 * shadow, 2 * shadow);
    const auto screens = screens_ ? screens_() : std::vector<Screen>{};
    const QRect frame = signature.frame;
    QPoint corner;
    if (framesTrusted_ && !framesTrusted_(field.processID)) {
        // A frame relative to another window says nothing about the screen: a fixed corner instead.
        const auto primary =
            std::find_if(screens.begin(), screens.end(), [](const Screen& s) { return s.isPrimary; });
        const QRect area = primary != screens.end() ? primary->available : availableArea(screens, frame);
        corner = {area.left() + area.width() - card.width() - margin, area.top() + margin};
    } else {
        corner = origin(card, frame, availableArea(screens, frame));
    }
    window_->setPosition(corner - QPoint(shadow, shadow));
    if (!window_->isVisible()) {
        announceFrame_ = true;
        skipTaskbar(*window_);
        window_->show();
    }
    signature_ = std::move(signature);
}

void SuggestionPanelController::hide()
{
    if (window_ && window_->isVisible()) {
        window_->hide();
        emit hidden();
    }
    signature_.reset();
}

void SuggestionPanelController::requestFill(int row)
{
    if (filling_ || row < 0 || std::size_t(row) >= codes_.size() || !fill_)
        return;
    // One fill per showing, however often the row is clicked. It runs after the click's handling
    // ends, since the model hides, and may show again, the panel whose view sent it.
    filling_ = true;
    QTimer::singleShot(0, this, [fill = fill_, code = codes_[std::size_t(row)]] { fill(code); });
}

void SuggestionPanelController::requestRefresh()
{
    if (refresh_)
        QTimer::singleShot(0, this, [refresh = refresh_] { refresh(); });
}

QPoint SuggestionPanelController::origin(QSize size, QRect field, QRect available)
{
    const int fieldRight = field.x() + field.width();
    const int fieldBottom = field.y() + field.height();
    const int areaRight = available.x() + available.width();
    const int areaBottom = available.y() + available.height();
    int top = fieldBottom + gap;
    if (top + size.height() > areaBottom - margin)
        top = std::max(available.y() + margin, field.y() - gap - size.height());
    int left = fieldRight - size.width();
    left = std::max(left, available.x() + margin);
    left = std::min(left, areaRight - size.width() - margin);
    top = std::min(top, areaBottom - margin - size.height());
    return {left, top};
}

QRect SuggestionPanelController::availableArea(const std::vector<Screen>& screens, QRect field)
{
    // An empty field still lies somewhere: it meets the screen that holds its corner.
    const QRect probe = field.isEmpty() ? QRect(field.topLeft(), QSize(1, 1)) : field;
    for (const auto& screen : screens)
        if (screen.geometry.intersects(probe))
            return screen.available;
    for (const auto& screen : screens)
        if (screen.isPrimary)
            return screen.available;
    return field;
}

SuggestionPanelController::ScreenList SuggestionPanelController::desktopScreens()
{
    return [] {
        std::vector<Screen> screens;
        const QScreen* primary = QGuiApplication::primaryScreen();
        for (const QScreen* screen : QGuiApplication::screens())
            screens.push_back({screen->geometry(), screen->availableGeometry(), screen == primary});
        return screens;
    };
}

SuggestionPanelController::FramesTrusted SuggestionPanelController::framesOfSession()
{
    if (qEnvironmentVariable("XDG_SESSION_TYPE") != u"wayland")
        return {};
    return hasX11Window;
}

} // namespace larkpin
