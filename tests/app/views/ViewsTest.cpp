// The real QML views over a real AppStore: a store file in a temporary folder, sync and OAuth against
// the Google emulator, the session's Secret Service. Only accessibility trust and the clipboard are
// scripted stand-ins. Controls are found by objectName and pressed (or toggled) through their
// accessible actions, as assistive technology presses them.

#include "app/model/AppStore.h"
#include "app/services/KeychainTokenStore.h"
#include "app/views/QmlWindowPresenter.h"
#include "app/views/SuggestionPanelController.h"
#include "support/GoogleEmulator.h"
#include "support/QtWait.h"
#include "support/SecretServiceProbe.h"
#include "support/TemporaryFolder.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QSettings>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

// Failures show the texts rather than their UTF-16 bytes.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace larkpin {
namespace {

using namespace std::chrono_literals;

struct ScriptedDesktop final : FocusedFieldSource, AccessibilityTrust, Clipboard {
    std::optional<AccessibilityCoordinator::FocusedField> focusedOTPField() override { return std::nullopt; }
    void fill(std::string_view, const AccessibilityCoordinator::FocusedField&) override {}
    bool isTrusted() override { return trusted; }
    bool requestTrust() override { return trusted = grants; }
    void setText(const std::string& text) override { clipboard = text; }
    bool trusted = false, grants = false;
    std::string clipboard;
};

using test::waitUntil;

void collect(QQuickItem* item, const QString& name, std::vector<QQuickItem*>& found)
{
    if (item->objectName() == name)
        found.push_back(item);
    for (QQuickItem* child : item->childItems())
        collect(child, name, found);
}

class ViewsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << *reason;
        emulator->addMailbox("alice@example.com", "alice-token");
        reset();
    }
    /// A new store file, no windows, monitoring back to its default.
    void reset()
    {
        presenter.reset();
        store.reset();
        QSettings("Larkpin", "Larkpin").remove("monitoringEnabled");
        databasePath = folder.path() / ("larkpin-" + std::to_string(++generation) + ".sqlite");
        seed = std::make_unique<LocalStore>(databasePath);
    }
    void TearDown() override
    {
        emulator.reset(); // ends a sync held up on purpose
        presenter.reset();
        store.reset();
        keychain.deleteRefreshToken("alice");
    }

    void start()
    {
        AppStore::Services services;
        services.databasePath = databasePath;
        services.session = session;
        services.makeOAuthClient = [this] {
            const GoogleOAuthConfiguration::Environment environment = {
                {"GOOGLE_OAUTH_CLIENT_ID", "client.apps.example"},
                {"GOOGLE_EMULATOR_URL", emulator->baseURL()},
                {GoogleOAuthClient::browserVariable, "larkpin-idle-browser"}};
            const auto configuration = GoogleOAuthConfiguration::load(environment, Bundle());
            auto tokens = std::make_shared<TokenManager>(configuration, keychain, session);
            return std::make_unique<GoogleOAuthClient>(configuration, tokens, session, environment);
        };
        services.fields = desktop;
        services.trust = desktop;
        services.clipboard = desktop;
        store = std::make_unique<AppStore>(std::move(services));
        presenter = std::make_unique<QmlWindowPresenter>(*store);
        presenter->toggleMenuPanel({});
        presenter->showDashboard();
        presenter->showSettings();
        QCoro::waitFor(store->reloadCache());
        QCoreApplication::processEvents();
    }
    void account(bool enabled = true)
    {
        keychain.saveRefreshToken(emulator->addGrant("alice@example.com").refreshToken, "alice");
        seed->upsert({.id = "alice", .email = "alice@example.com", .isEnabled = enabled});
    }
    OTPCode code(const std::string& value, bool used = false, double expiresIn = 600)
    {
        const auto now = std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
        const OTPCode code{Uuid::random(), value, "Acme", "alice@example.com", value, now - Seconds(30),
                           now + Seconds(expiresIn), used ? std::optional(now) : std::nullopt};
        seed->save(code);
        return code;
    }

    std::vector<QQuickItem*> all(QQuickWindow* window, const QString& name) const
    {
        std::vector<QQuickItem*> found;
        collect(window->contentItem(), name, found);
        return found;
    }
    QQuickItem& one(QQuickWindow* window, const QString& name) const
    {
        const auto found = all(window, name);
        if (found.size() != 1)
            throw std::runtime_error("expected one " + name.toStdString() + ", found " + std::to_string(found.size()));
        return *found.front();
    }
    QString text(QQuickWindow* window, const QString& name) const
    {
        return one(window, name).property("text").toString();
    }
    static void press(QQuickItem& control, const QString& action = QAccessibleActionInterface::pressAction())
    {
        QAccessible::queryAccessibleInterface(&control)->actionInterface()->doAction(action);
    }
    QQuickWindow* menu() const { return presenter->menuPanel(); }
    QQuickWindow* dashboard() const { return presenter->dashboard(); }
    QQuickWindow* settings() const { return presenter->settings(); }

    test::TemporaryFolder folder;
    std::unique_ptr<test::GoogleEmulator> emulator = std::make_unique<test::GoogleEmulator>(LARKPIN_GOOGLE_EMULATOR_PATH);
    std::shared_ptr<const HTTPSession> session = std::make_shared<HTTPSession>();
    KeychainTokenStore keychain{"dev.larkpin.Larkpin.view-tests." + Uuid::random().toString()};
    int generation = 0;
    std::filesystem::path databasePath;
    std::unique_ptr<LocalStore> seed;
    std::shared_ptr<ScriptedDesktop> desktop = std::make_shared<ScriptedDesktop>();
    std::unique_ptr<AppStore> store;
    std::unique_ptr<QmlWindowPresenter> presenter;
};

TEST_F(ViewsTest, FreshAndUsedCodesReadInTheMenuAndOnTheCards)
{
    const struct {
        int fresh, used;
        QString headline, icon;
    } cases[] = {{0, 0, "Larkpin", "lock.shield"},
                 {1, 0, "1 fresh code", "lock.shield.fill"},
                 {2, 1, "2 fresh codes", "lock.shield.fill"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headline.toStdString());
        reset();
        for (int i = 0; i < c.fresh; ++i)
            code("11111" + std::to_string(i));
        for (int i = 0; i < c.used; ++i)
            code("22222" + std::to_string(i), true);
        start();
        EXPECT_EQ(text(menu(), "headline"), c.headline);
        EXPECT_TRUE(one(menu(), "headerIcon").property("source").toString().endsWith("/" + c.icon + ".svg"));
        EXPECT_EQ(one(menu(), "waitingLabel").isVisible(), c.fresh == 0);
        EXPECT_EQ(one(menu(), "recentlyUsedSection").isVisible(), c.used > 0);
        EXPECT_EQ(all(menu(), "menuCodeRow").size(), std::size_t(c.fresh));
        EXPECT_EQ(all(dashboard(), "codeCard").size(), std::size_t(c.fresh + c.used));
        EXPECT_EQ(one(dashboard(), "emptyState").isVisible(), c.fresh + c.used == 0);
    }
}

TEST_F(ViewsTest, WithoutAccountsOnlyConnectingIsOffered)
{
    start();
    EXPECT_TRUE(one(menu(), "noAccountsLabel").isVisible());
    EXPECT_TRUE(all(menu(), "accountRow").empty());
    EXPECT_TRUE(all(dashboard(), "accountRow").empty());
    EXPECT_FALSE(one(dashboard(), "refreshButton").isEnabled());
    EXPECT_TRUE(one(dashboard(), "connectButton").isEnabled());
    ASSERT_TRUE(one(menu(), "connectButton").isEnabled());
    press(one(menu(), "connectButton"));
    ASSERT_TRUE(waitUntil([&] { return store->isConnecting(); }));
    EXPECT_FALSE(one(menu(), "connectButton").isEnabled()) << "while the browser has not come back";
    EXPECT_FALSE(one(dashboard(), "connectButton").isEnabled());
}

TEST_F(ViewsTest, AnAccountsLastSyncReadsInWords)
{
    const struct {
        std::optional<double> ago;
        QString text;
    } cases[] = {{std::nullopt, "Not synced yet"},
                 {61, "Synced 1 minute ago"},
                 {330, "Synced 5 minutes ago"},
                 {86400 + 1800, "Synced yesterday"},
                 {8 * 86400, "Synced last week"}};
    for (const auto& c : cases) {
        reset();
        const auto now = std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
        seed->upsert({.id = "alice",
                      .email = "alice@example.com",
                      .lastSyncAt = c.ago ? std::optional(now - Seconds(*c.ago)) : std::nullopt,
                      .isEnabled = false});
        start();
        EXPECT_EQ(text(menu(), "syncedLabel"), c.text);
    }
}

TEST_F(ViewsTest, APausedAccountResumesFromEitherWindow)
{
    for (const bool inMenu : {true, false}) {
        reset();
        account(false);
        start();
        auto& button = one(inMenu ? menu() : dashboard(), "pauseButton");
        EXPECT_EQ(button.property("text").toString(), "Resume");
        press(button);
        ASSERT_TRUE(waitUntil([&] { return store->accounts().at(0).isEnabled; }));
        EXPECT_EQ(button.property("text").toString(), "Pause");
    }
}

TEST_F(ViewsTest, EachCodeControlCarriesOutItsOperation)
{
    code("424242");
    code("909090", true);
    start();
    QQuickItem* usedCard = nullptr;
    for (QQuickItem* card : all(dashboard(), "codeCard"))
        if (card->property("isUsed").toBool())
            usedCard = card;
    ASSERT_NE(usedCard, nullptr);
    EXPECT_DOUBLE_EQ(usedCard->opacity(), 0.72);
    std::vector<QQuickItem*> buttons;
    collect(usedCard, "copyButton", buttons);
    EXPECT_FALSE(buttons.at(0)->isEnabled()) << "a used code is not copied";
    collect(usedCard, "markButton", buttons);
    EXPECT_EQ(buttons.at(1)->property("text").toString(), "Mark unused");
    press(*buttons.at(1));
    ASSERT_TRUE(waitUntil([&] { return store->activeCodes().size() == 2; }));
    EXPECT_EQ(store->statusMessage(), "Restored code");
    EXPECT_FALSE(one(menu(), "recentlyUsedSection").isVisible());

    press(*all(menu(), "usedButton").at(0));
    ASSERT_TRUE(waitUntil([&] { return store->activeCodes().size() == 1; }));
    EXPECT_EQ(store->statusMessage(), "Marked code used");
    EXPECT_TRUE(one(menu(), "recentlyUsedSection").isVisible());

    const std::string last = store->activeCodes().at(0).value;
    press(one(menu(), "copyButton"));
    ASSERT_TRUE(waitUntil([&] { return store->activeCodes().empty(); })) << "a copied code counts as used";
    EXPECT_EQ(desktop->clipboard, last);
    EXPECT_EQ(text(menu(), "headline"), "Larkpin");

    press(*all(menu(), "markUnusedButton").at(0));
    ASSERT_TRUE(waitUntil([&] { return store->activeCodes().size() == 1; }));
    EXPECT_EQ(store->statusMessage(), "Restored code");
}

TEST_F(ViewsTest, CopyOnACardReadsCopiedForAMoment)
{
    code("135790");
    start();
    auto& copy = one(dashboard(), "copyButton");
    press(copy);
    EXPECT_EQ(copy.property("text").toString(), "Copied");
    EXPECT_TRUE(waitUntil([&] { return copy.property("text").toString() == "Copy"; }));
    EXPECT_EQ(desktop->clipboard, "135790");
}

TEST_F(ViewsTest, TheCountdownTurnsOrangeInTheLastMinute)
{
    code("111111");
    start();
    // The views' clock, set by hand and read before it can tick.
    QObject* style = QQmlExpression(qmlContext(menu()), menu(), "VisualStyle").evaluate().value<QObject*>();
    ASSERT_NE(style, nullptr);
    const QDateTime expiry = one(menu(), "menuCodeRow").property("expiresAt").toDateTime();
    const struct {
        double secondsLeft;
        QString text;
        bool orange;
    } cases[] = {{500, "8:20", false}, {61, "1:01", false}, {60.5, "1:01", false},
                 {60, "1:00", true},   {30, "0:30", true},  {-5, "0:00", true}};
    for (const auto& c : cases) {
        style->setProperty("now", expiry.addMSecs(qint64(-c.secondsLeft * 1000)));
        for (QQuickWindow* window : {menu(), dashboard()}) {
            const auto& countdown = one(window, "countdownText");
            EXPECT_EQ(countdown.property("text").toString(), c.text) << c.secondsLeft;
            EXPECT_EQ(countdown.property("color").value<QColor>() == QColor("#f28c18"), c.orange)
                << c.secondsLeft;
        }
    }
}

TEST_F(ViewsTest, IconOnlyButtonsOfThePanelExplainThemselvesInTooltips)
{
    for (const bool enabled : {true, false}) {
        reset();
        account(enabled);
        code("424242");
        start();
        const std::pair<QString, QString> cases[] = {
            {"refreshButton", "Refresh Gmail now"},
            {"usedButton", "Mark used"},
            {"pauseButton", enabled ? "Pause this account" : "Resume this account"},
            {"disconnectButton", "Disconnect alice@example.com"}};
        for (const auto& [name, tip] : cases) {
            const auto children = one(menu(), name).children();
            const auto attached = std::find_if(children.begin(), children.end(), [](QObject* child) {
                return child->inherits("QQuickToolTipAttached");
            });
            ASSERT_NE(attached, children.end()) << name.toStdString();
            EXPECT_EQ((*attached)->property("text").toString(), tip) << name.toStdString();
        }
    }
}

TEST_F(ViewsTest, ThePanelHidesWhenAnotherWindowTakesTheFocus)
{
    start();
    if (menu()->isVisible()) // shown before the other windows, it may never have had the focus
        presenter->toggleMenuPanel({});
    ASSERT_TRUE(waitUntil([&] {
        if (!menu()->isVisible()) // refused for a moment after hiding on a focus loss
            presenter->toggleMenuPanel({});
        return menu()->isActive();
    }));
    presenter->showDashboard();
    EXPECT_TRUE(waitUntil([&] { return !menu()->isVisible(); }));
}

TEST_F(ViewsTest, EveryTextStandsOutOnADarkDesktop)
{
    struct Restore {
        QPalette palette = QGuiApplication::palette();
        ~Restore() { QGuiApplication::setPalette(palette); }
    } const restore;
    QGuiApplication::setPalette(QPalette(QColor(0x3a, 0x3a, 0x3e), QColor(0x2b, 0x2b, 0x2e)));
    account(false);
    const OTPCode fresh = code("424242");
    code("909090", true);
    start();
    presenter->showAbout();
    // The suggestion panel with a failed refresh, for its Retry button.
    SuggestionPanelController panel([this] { return presenter->sharedEngine(); });
    SuggestionRefreshState failed;
    failed.errorMessage = "Gmail did not answer";
    panel.show(
        {fresh}, failed, false, {}, [] {}, [](const OTPCode&) {});
    const auto luminance = [](QColor c) {
        return 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
    };
    for (QQuickWindow* window : {menu(), dashboard(), settings(), presenter->about(), panel.window()}) {
        // The panel's window is clear around its card, which has the window colour.
        const QColor background =
            window->color().alpha() ? window->color() : QGuiApplication::palette().window().color();
        std::vector<QQuickItem*> items{window->contentItem()};
        for (std::size_t i = 0; i < items.size(); ++i)
            for (QQuickItem* child : items[i]->childItems())
                items.push_back(child);
        for (QQuickItem* item : items) {
            if (!(item->inherits("QQuickText") || item->inherits("QQuickTextEdit")) || !item->isVisible() ||
                item->property("text").toString().isEmpty())
                continue;
            // The text's colour as drawn over the window, against the window.
            const QColor color = item->property("color").value<QColor>();
            const double alpha = color.alphaF(),
                         drawn = alpha * luminance(color) + (1 - alpha) * luminance(background);
            EXPECT_GT(drawn - luminance(background), 0.25) << item->property("text").toString().toStdString();
        }
    }
}

TEST_F(ViewsTest, TheMoreMenusAboutWindowNamesTheVersionAndTheOpenSourceSoftware)
{
    start();
    press(one(menu(), "moreButton"));
    ASSERT_TRUE(waitUntil([&] { return all(menu(), "aboutItem").size() == 1; }));
    press(one(menu(), "aboutItem"));
    ASSERT_NE(presenter->about(), nullptr);
    EXPECT_TRUE(QRegularExpression("^Version \\d+\\.\\d+\\.\\d+$")
                    .match(text(presenter->about(), "version"))
                    .hasMatch());
    EXPECT_TRUE(text(presenter->about(), "credits").startsWith("Open Source Software\n\n"));
}

TEST_F(ViewsTest, AccessibilityControlsFollowTrust)
{
    for (const bool grants : {false, true}) {
        reset();
        desktop->grants = grants;
        start();
        EXPECT_TRUE(one(settings(), "enableButton").isVisible());
        EXPECT_TRUE(one(dashboard(), "enableSuggestionsButton").isVisible());
        press(one(menu(), "enableAccessButton"));
        EXPECT_EQ(store->statusMessage(), grants ? "Accessibility enabled"
                                                 : "Turn on accessibility support in your desktop settings");
        EXPECT_EQ(one(menu(), "enableAccessButton").isVisible(), !grants);
        EXPECT_EQ(one(dashboard(), "enableSuggestionsButton").isVisible(), !grants);
        EXPECT_EQ(one(settings(), "enableButton").isVisible(), !grants);
        EXPECT_EQ(one(settings(), "accessibilityEnabled").isVisible(), grants);
    }
}

TEST_F(ViewsTest, SwitchesAndRefreshReachTheStore)
{
    account();
    emulator->queueFault("profile", test::GoogleEmulator::Fault::delayed(60s));
    start();
    ASSERT_TRUE(waitUntil([&] { return store->isSyncing(); }));
    EXPECT_TRUE(one(menu(), "syncProgress").isVisible());
    EXPECT_TRUE(one(dashboard(), "syncProgress").isVisible());
    EXPECT_FALSE(one(menu(), "refreshButton").isEnabled());
    EXPECT_FALSE(one(dashboard(), "refreshButton").isEnabled());
    EXPECT_EQ(text(settings(), "syncSummary"), store->syncSummary());

    for (const auto& [window, name] : {std::pair{menu(), "monitoringSwitch"}, {dashboard(), "suggestionsSwitch"},
                                       {settings(), "monitoringSwitch"}}) {
        // Either action toggles exactly once, and the switch keeps following the store.
        for (const auto& action :
             {QAccessibleActionInterface::toggleAction(), QAccessibleActionInterface::pressAction()}) {
            const bool next = !store->isMonitoring();
            press(one(window, name), action);
            EXPECT_EQ(store->isMonitoring(), next) << name;
            EXPECT_EQ(QSettings("Larkpin", "Larkpin").value("monitoringEnabled").toBool(), next) << name;
            EXPECT_EQ(one(window, name).property("checked").toBool(), next) << name;
        }
    }
    // The account goes once the held sync has given up on Gmail's silence (20 s without progress).
    press(one(menu(), "disconnectButton"));
    EXPECT_TRUE(waitUntil([&] { return store->accounts().empty(); }, 120'000));
}

} // namespace
} // namespace larkpin

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) // listing at build time, where there is no display
        return RUN_ALL_TESTS();
    // Settings and desktop entries of this process alone; the browser opens nothing and never
    // comes back, so a connection stays waiting.
    const larkpin::test::TemporaryFolder home;
    ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    std::filesystem::create_directories(home.path() / "data" / "applications");
    std::ofstream(home.path() / "data" / "applications" / "larkpin-idle-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Browser\nExec=true %u\nMimeType=x-scheme-handler/http;\n";
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
