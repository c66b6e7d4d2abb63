// The suggestion panel: its placement rule, when it is laid out again, what its view shows, and,
// in the test session, the whole way from a focused GTK code field to the code filled into it:
// real AppStore over a SQLite file, real AT-SPI field source, the panel clicked through XTest.

#include "app/views/SuggestionPanelController.h"
#include "app/model/AccessibilityFieldSource.h"
#include "app/model/AppStore.h"
#include "support/AccessibilityDesktop.h"
#include "support/ChildProcess.h"
#include "support/ManualClock.h"
#include "support/QtWait.h"
#include "support/TemporaryFolder.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <unistd.h>

namespace larkpin {
namespace {

using Controller = SuggestionPanelController;
using test::waitUntil;

TEST(SuggestionPanelPlacement, FollowsTheRuleInsideTheAvailableArea)
{
    const QRect screen(0, 0, 1280, 800);
    const struct {
        const char* name;
        QSize panel;
        QRect field;
        QPoint origin;
    } cases[] = {
        {"below, right edges aligned", {340, 200}, {600, 100, 240, 30}, {500, 138}},
        {"above near the bottom", {340, 200}, {600, 700, 240, 30}, {500, 492}},
        {"left edge clamped", {340, 200}, {0, 100, 100, 30}, {10, 138}},
        {"right edge beyond the screen", {340, 200}, {1200, 100, 200, 30}, {930, 138}},
        {"no room either way: the bottom margin wins", {340, 790}, {600, 300, 240, 30}, {500, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Controller::origin(c.panel, c.field, screen), c.origin) << c.name;
}

TEST(SuggestionPanelPlacement, ChoosesTheScreenThatMeetsTheField)
{
    const std::vector<Controller::Screen> screens = {{{0, 0, 1280, 800}, {0, 24, 1280, 776}, false},
                                                     {{1280, 0, 1920, 1080}, {1280, 0, 1920, 1040}, true}};
    const struct {
        const char* name;
        std::vector<Controller::Screen> screens;
        QRect field, available;
    } cases[] = {
        {"first screen", screens, {100, 100, 200, 30}, {0, 24, 1280, 776}},
        {"second screen", screens, {1500, 100, 200, 30}, {1280, 0, 1920, 1040}},
        {"an empty frame on the second screen", screens, {1500, 100, 0, 0}, {1280, 0, 1920, 1040}},
        {"off every screen: the primary", screens, {-5000, 100, 200, 30}, {1280, 0, 1920, 1040}},
        {"no screen: the field", {}, {100, 100, 200, 30}, {100, 100, 200, 30}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Controller::availableArea(c.screens, c.field), c.available) << c.name;
}

void collect(QQuickItem* item, const QString& name, std::vector<QQuickItem*>& found)
{
    if (item->objectName() == name)
        found.push_back(item);
    for (QQuickItem* child : item->childItems())
        collect(child, name, found);
}

std::vector<QQuickItem*> all(QQuickWindow* window, const QString& name)
{
    std::vector<QQuickItem*> found;
    collect(window->contentItem(), name, found);
    return found;
}

OTPCode code(const std::string& value, TimePoint now)
{
    return {Uuid::random(),     value,       "Acme", "alice@example.com", value, now - Seconds(30),
            now + Seconds(600), std::nullopt};
}

/// The panel over a desktop of one 1280×800 screen, with a clock that moves when told.
class SuggestionPanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("DISPLAY"))
            GTEST_SKIP() << "no display: run inside scripts/test-session";
        for (const char* value : {"111111", "222222", "333333", "444444", "555555"})
            codes.push_back(code(value, clock->now()));
    }
    void show(bool syncing = false)
    {
        panel.show(
            codes, state, syncing, field, [this] { ++refreshes; },
            [this](const OTPCode& filled) { fills.push_back(filled.value); });
    }
    QPoint placed() const
    {
        const int shadow = panel.view()->property("shadowMargin").toInt();
        return panel.window()->position() + QPoint(shadow, shadow);
    }
    QPoint expected() const
    {
        const int shadow = panel.view()->property("shadowMargin").toInt();
        return Controller::origin(panel.window()->size() - QSize(2 * shadow, 2 * shadow), {600, 100, 240, 30},
                                  {0, 0, 1280, 800});
    }

    std::shared_ptr<test::ManualClock> clock =
        std::make_shared<test::ManualClock>(timePointFromSecondsSince1970(1'800'000'010));
    std::vector<OTPCode> codes;
    SuggestionRefreshState state;
    AccessibilityCoordinator::FocusedField field{
        .element = {}, .processID = 42, .frame = {600, 100, 240, 30}, .descriptor = {}};
    bool trusted = true;
    Controller panel{[] { return std::make_shared<QQmlEngine>(); }, clock,
                     [] {
                         return std::vector<Controller::Screen>{{{0, 0, 1280, 800}, {0, 0, 1280, 800}, true}};
                     },
                     [this](std::int32_t) { return trusted; }};
    int refreshes = 0;
    std::vector<std::string> fills;
};

TEST_F(SuggestionPanelTest, LaysOutAgainOnlyWhenSomethingShownChanges)
{
    show();
    ASSERT_TRUE(panel.window()->isVisible());
    EXPECT_FALSE(panel.window()->flags() & ~(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                             Qt::WindowDoesNotAcceptFocus | Qt::Window));
    EXPECT_TRUE(panel.window()->flags() & Qt::WindowDoesNotAcceptFocus);
    const auto states =
        test::ChildProcess::run({"/usr/bin/xprop", "-id", std::to_string(panel.window()->winId())}).out;
    EXPECT_NE(states.find("_NET_WM_STATE_SKIP_TASKBAR"), std::string::npos) << "no taskbar entry";
    EXPECT_EQ(placed(), expected());
    EXPECT_EQ(panel.window()->width(), 340 + 2 * panel.view()->property("shadowMargin").toInt());

    // Moved away by hand: an identical tick leaves it there, a new 30-second bucket places it again.
    panel.window()->setPosition(0, 0);
    clock->advance(19); // 1'800'000'029: still the same bucket
    show();
    EXPECT_EQ(panel.window()->position(), QPoint(0, 0));
    clock->advance(1);
    show();
    EXPECT_EQ(placed(), expected());

    // Hidden, the same input shows it again; a moved field moves it.
    panel.hide();
    EXPECT_FALSE(panel.window()->isVisible());
    show();
    EXPECT_TRUE(panel.window()->isVisible());
    field.frame.y = 600;
    show();
    EXPECT_EQ(placed().y(),
              600 - 8 - (panel.window()->height() - 2 * panel.view()->property("shadowMargin").toInt()));

    // A frame that cannot be trusted (a native Wayland application): the primary screen's corner.
    trusted = false;
    field.frame.y = 601;
    show();
    EXPECT_EQ(placed(), QPoint(1280 - 340 - 10, 10));
}

TEST_F(SuggestionPanelTest, ShowsEveryElementOfTheView)
{
    show();
    // The session's window manager composites nothing: clear pixels would show black.
    EXPECT_FALSE(panel.view()->property("translucent").toBool());
    EXPECT_EQ(panel.window()->color().alpha(), 255);
    auto rows = all(panel.window(), "codeRow");
    ASSERT_EQ(rows.size(), 3u) << "at most three codes";
    const auto name = [](QQuickItem* item) {
        return QAccessible::queryAccessibleInterface(item)->text(QAccessible::Name);
    };
    EXPECT_EQ(name(rows[1]), "Fill code 222222 from Acme");
    EXPECT_EQ(name(all(panel.window(), "refreshButton").at(0)), "Refresh verification codes");
    EXPECT_EQ(all(panel.window(), "codeValue")[2]->property("text").toString(), "333333");
    const auto visible = [&](const char* name) { return all(panel.window(), name).at(0)->isVisible(); };
    EXPECT_EQ(all(panel.window(), "lastUpdated").at(0)->property("text").toString(), "Not synced yet");
    EXPECT_FALSE(visible("failureRow"));
    EXPECT_TRUE(visible("refreshButton"));
    EXPECT_FALSE(visible("refreshSpinner"));

    // Syncing with a failure shown: spinner, failure row, Retry disabled.
    state.errorMessage = "Gmail did not answer";
    state.lastUpdatedAt = clock->now();
    show(true);
    EXPECT_TRUE(visible("refreshSpinner"));
    EXPECT_FALSE(visible("refreshButton"));
    EXPECT_TRUE(visible("failureRow"));
    EXPECT_EQ(name(all(panel.window(), "failureRow").at(0)), "Refresh failed. Gmail did not answer");
    EXPECT_EQ(all(panel.window(), "errorText").at(0)->property("text").toString(), "Gmail did not answer");
    EXPECT_FALSE(all(panel.window(), "retryButton").at(0)->isEnabled());
    show(false);
    EXPECT_TRUE(all(panel.window(), "retryButton").at(0)->isEnabled());
    QMetaObject::invokeMethod(all(panel.window(), "retryButton").at(0), "clicked");
    EXPECT_TRUE(waitUntil([&] { return refreshes == 1; }));

    // Relative times in whole words.
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(qint64(secondsSince1970(clock->now()) * 1000));
    for (const auto& [ago, text] : {std::pair{0, "now"},
                                    {1, "1 second ago"},
                                    {125, "2 minutes ago"},
                                    {3600, "1 hour ago"},
                                    {3 * 86400, "3 days ago"}}) {
        QVariant answer;
        QMetaObject::invokeMethod(panel.view(), "lastUpdatedText", Q_RETURN_ARG(QVariant, answer),
                                  Q_ARG(QVariant, now.addSecs(ago)));
        EXPECT_EQ(answer.toString(), QString("Last updated ") + text) << ago;
    }
}

TEST_F(SuggestionPanelTest, FillsOnceHoweverOftenARowIsClickedOrPressed)
{
    show();
    QQuickItem* second = all(panel.window(), "codeRow").at(1);
    // The accessible press fills as a click does; a click after it fills no more.
    QAccessible::queryAccessibleInterface(second)->actionInterface()->doAction(
        QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(waitUntil([&] { return !fills.empty(); }));
    QMetaObject::invokeMethod(second, "clicked");
    QCoreApplication::processEvents();
    EXPECT_EQ(fills, std::vector<std::string>{"222222"});
}

/// A real AppStore over a SQLite file holding three codes, the real AT-SPI field source and the
/// panel, beside a field program with its code field focused. The model is asked as its ticks
/// would ask, so that the panel stays until the test acts.
class SuggestionPanelDesktopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto missing = test::missingDesktop(true); !missing.empty())
            GTEST_SKIP() << missing;
        if (std::system("command -v xdotool >/dev/null") != 0)
            GTEST_SKIP() << "xdotool is missing: run scripts/setup";
        LocalStore seed(folder.path() / "larkpin.sqlite");
        for (const char* value : {"700001", "700002", "700003"})
            seed.save(code(value, SystemClock().now()));
        AppStore::Services services;
        services.databasePath = folder.path() / "larkpin.sqlite";
        services.fields = fields;
        services.panel = panel;
        store = std::make_unique<AppStore>(std::move(services));
        QCoro::waitFor(store->reloadCache());
        fields->focusedOTPField(); // listening first: the program learns that its focus events are wanted
    }
    void start(const char* path, const std::string& field)
    {
        program = std::make_unique<test::FieldProgram>(std::vector<std::string>{path});
        ASSERT_TRUE(program->ready());
        program->focus(field);
    }
    /// Whether the panel came up beside the program's field.
    bool shown()
    {
        return waitUntil([&] {
            const auto field = fields->focusedOTPField();
            return field && field->processID == program->process().pid() && store->updateSuggestion() &&
                   panel->window()->isExposed();
        });
    }
    /// Clicks the first row through XTest, as a user does; answers its code.
    std::string clickFirstRow()
    {
        QQuickItem* row = all(panel->window(), "codeRow").at(0);
        const QPoint at = row->mapToGlobal(row->boundingRect().center()).toPoint();
        const auto command =
            "xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) + " click 1";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::vector<QQuickItem*> values;
        collect(row, "codeValue", values);
        return values.at(0)->property("text").toString().toStdString();
    }
    bool used(const std::string& value) const
    {
        const auto usedCodes = store->usedCodes();
        return std::any_of(usedCodes.begin(), usedCodes.end(),
                           [&](const OTPCode& c) { return c.value == value; });
    }

    test::TemporaryFolder folder;
    std::shared_ptr<AccessibilityFieldSource> fields = std::make_shared<AccessibilityFieldSource>([] {
        return std::vector<ScreenRect>{{0, 0, 1280, 800}};
    });
    std::shared_ptr<Controller> panel =
        std::make_shared<Controller>([] { return std::make_shared<QQmlEngine>(); });
    std::unique_ptr<AppStore> store;
    std::unique_ptr<test::FieldProgram> program;
};

TEST_F(SuggestionPanelDesktopTest, OneClickFillsTheFocusedGtkField)
{
    start(LARKPIN_FIELD_VARIANTS_PATH, "labelled");
    ASSERT_TRUE(shown());
    const ScreenRect frame = program->geometry("labelled").value();
    const int shadow = panel->view()->property("shadowMargin").toInt();
    const QSize card = panel->window()->size() - QSize(2 * shadow, 2 * shadow);
    EXPECT_EQ(panel->window()->position() + QPoint(shadow, shadow),
              Controller::origin(card, QRect(frame.x, frame.y, frame.width, frame.height),
                                 QGuiApplication::primaryScreen()->availableGeometry()));
    EXPECT_TRUE(fields->focusedOTPField()) << "showing the panel took the focus from the field";

    const std::string value = clickFirstRow();
    ASSERT_TRUE(waitUntil([&] { return program->text("labelled") == value && used(value); }));
    EXPECT_EQ(store->statusMessage(), "Filled Acme code");
    EXPECT_FALSE(panel->window()->isVisible());
    EXPECT_TRUE(fields->focusedOTPField()) << "the click took the focus from the field";
}

TEST_F(SuggestionPanelDesktopTest, OneClickFillsAQtQuickFieldByTypedKeys)
{
#ifndef LARKPIN_QT_QUICK_FIELDS_PATH
    GTEST_SKIP() << "built without Qt 6 Quick (scripts/setup installs it)";
#else
    start(LARKPIN_QT_QUICK_FIELDS_PATH, "code");
    ASSERT_TRUE(shown());
    const std::string value = clickFirstRow();
    ASSERT_TRUE(waitUntil([&] { return program->text("code") == value && used(value); }));
    EXPECT_TRUE(fields->focusedOTPField()) << "the click took the focus from the field";
#endif
}

TEST_F(SuggestionPanelDesktopTest, AFailedFillLeavesTheCodeUnused)
{
    start(LARKPIN_FIELD_VARIANTS_PATH, "labelled");
    ASSERT_TRUE(shown());
    program->set("labelled", "123456789"); // nine characters: no longer a code field
    const std::string value = clickFirstRow();
    ASSERT_TRUE(waitUntil([&] { return !panel->window()->isVisible(); }));
    EXPECT_EQ(store->statusMessage(), "The focused field is not an eligible code field.");
    EXPECT_EQ(program->text("labelled"), "123456789");
    EXPECT_FALSE(used(value));
    EXPECT_EQ(store->activeCodes().size(), 3u);
}

TEST_F(SuggestionPanelDesktopTest, InAWaylandSessionTrustsTheFramesOfX11ApplicationsOnly)
{
    start(LARKPIN_FIELD_VARIANTS_PATH, "labelled");
    ASSERT_TRUE(waitUntil([&] { return fields->focusedOTPField().has_value(); }));
    const std::int32_t gtk = fields->focusedOTPField()->processID;
    const QByteArray session = qgetenv("XDG_SESSION_TYPE");
    qputenv("XDG_SESSION_TYPE", "wayland");
    const auto trusted = Controller::framesOfSession();
    qputenv("XDG_SESSION_TYPE", session);
    ASSERT_TRUE(trusted);
    EXPECT_TRUE(trusted(gtk));
    EXPECT_FALSE(trusted(std::int32_t(::getppid()))) << "a process without windows";
}

} // namespace
} // namespace larkpin
