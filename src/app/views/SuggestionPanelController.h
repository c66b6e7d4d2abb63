#pragma once

#include "app/model/SuggestionPanel.h"
#include "core/support/Clock.h"

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QQmlEngine;
class QQuickItem;
class QQuickWindow;

namespace larkpin {

/// The floating window beside a focused code field: made on the first show and reused, it never
/// takes the keyboard focus from the field it serves. Main thread only.
class SuggestionPanelController final : public QObject, public SuggestionPanel {
    Q_OBJECT

public:
    struct Screen {
        QRect geometry;
        QRect available; ///< without panels and docks
        bool isPrimary = false;
    };
    using ScreenList = std::function<std::vector<Screen>()>;
    /// Whether the field of a process can be placed by its frame. False for a native Wayland
    /// application, whose frames are relative to its own window.
    using FramesTrusted = std::function<bool(std::int32_t processID)>;

    /// Gap to the field and margin to the edges of the available area.
    static constexpr int gap = 8;
    static constexpr int margin = 10;

    /// `engine` is asked at the first show; the panel keeps the engine until it is gone itself.
    explicit SuggestionPanelController(std::function<std::shared_ptr<QQmlEngine>()> engine,
                                       std::shared_ptr<const Clock> clock = SystemClock::shared(),
                                       ScreenList screens = desktopScreens(),
                                       FramesTrusted framesTrusted = framesOfSession());
    ~SuggestionPanelController() override;

    void show(const std::vector<OTPCode>& codes, const SuggestionRefreshState& refreshState, bool isSyncing,
              const FocusedField& field, std::function<void()> refresh,
              std::function<void(const OTPCode&)> fill) override;
    void hide() override;

    /// The panel's top-left corner: below the field with its right edge on the field's, above it
    /// when there is no room below, inside `available` by the margins (the bottom one wins).
    static QPoint origin(QSize size, QRect field, QRect available);
    /// The available area of the first screen that meets `field`, else of the primary screen, else
    /// the field itself.
    static QRect availableArea(const std::vector<Screen>& screens, QRect field);

    /// QGuiApplication's screens.
    static ScreenList desktopScreens();
    /// All frames outside a Wayland session; inside one, those of processes with an X11 window.
    static FramesTrusted framesOfSession();

    /// Draws the card's shadow in a clear margin around it (which needs a compositing manager) or
    /// not; by default only when a compositing manager runs. Takes effect at the first show.
    void drawShadow(bool shadow) { drawShadow_ = shadow; }

    /// Null until first shown.
    QQuickWindow* window() const { return window_.get(); }
    /// The window's SuggestionView; null until first shown.
    QQuickItem* view() const { return view_; }

signals:
    /// The window's first frame after it was shown is on the screen, at `geometry`.
    void drawn(QRect geometry);
    /// The window was hidden.
    void hidden();

private:
    struct Signature {
        AccessibleElement field; ///< equal for the same bus name and object path
        QRect frame;
        std::vector<Uuid> codeIDs;
        SuggestionRefreshState refreshState;
        bool isSyncing = false;
        std::int64_t relativeTimeBucket = 0;

        friend bool operator==(const Signature&, const Signature&) = default;
    };

    void create();

private slots:
    void requestFill(int row);
    void requestRefresh();

private:
    std::function<std::shared_ptr<QQmlEngine>()> makeEngine_;
    std::shared_ptr<const Clock> clock_;
    ScreenList screens_;
    FramesTrusted framesTrusted_;
    std::shared_ptr<QQmlEngine> engine_; // declared before the window, which goes first
    std::unique_ptr<QQuickWindow> window_;
    QQuickItem* view_ = nullptr; // owned by the window
    std::optional<Signature> signature_;
    std::vector<OTPCode> codes_;
    std::function<void()> refresh_;
    std::function<void(const OTPCode&)> fill_;
    std::optional<bool> drawShadow_;
    bool filling_ = false;
    bool announceFrame_ = false;
};

} // namespace larkpin
