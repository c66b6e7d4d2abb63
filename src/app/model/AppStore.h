#pragma once

#include "app/model/AccessibilityTrust.h"
#include "app/model/AccountListModel.h"
#include "app/model/Clipboard.h"
#include "app/model/CodeListModel.h"
#include "app/model/FocusedFieldSource.h"
#include "app/model/ResumeQueue.h"
#include "app/model/SuggestionPanel.h"
#include "app/model/SuggestionRefreshState.h"
#include "app/model/WorkerCall.h"
#include "app/services/GoogleOAuthClient.h"
#include "core/models/GmailAccount.h"
#include "core/models/OTPCode.h"
#include "core/network/HTTPSession.h"
#include "core/services/GmailSyncEngine.h"
#include "core/services/LocalStore.h"
#include "core/support/Clock.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

namespace larkpin {

/// The application's one model: it owns the services, holds the state every view reads, syncs each
/// enabled Gmail account when it is due, runs the monitoring loop that drives the suggestion panel
/// and carries out the user's actions.
///
/// Lives on the main thread; every read and write of its state happens there. The store, the sync
/// engine, the token manager and the authorization flow run on worker threads, and the operations
/// resume on the main thread, where other operations may have run meanwhile. Operations never
/// throw: errors end in `statusMessage` as their description. Changes are signalled only when a
/// value really changes.
class AppStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(larkpin::AccountListModel* accounts READ accountsModel CONSTANT)
    Q_PROPERTY(larkpin::CodeListModel* codes READ codesModel CONSTANT)
    Q_PROPERTY(larkpin::CodeListModel* activeCodes READ activeCodesModel CONSTANT)
    Q_PROPERTY(larkpin::CodeListModel* recentCodes READ recentCodesModel CONSTANT)
    Q_PROPERTY(larkpin::CodeListModel* usedCodes READ usedCodesModel CONSTANT)
    Q_PROPERTY(bool isMonitoring READ isMonitoring WRITE setMonitoring NOTIFY isMonitoringChanged)
    Q_PROPERTY(bool isAccessibilityEnabled READ isAccessibilityEnabled NOTIFY isAccessibilityEnabledChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(bool isConnecting READ isConnecting NOTIFY isConnectingChanged)
    Q_PROPERTY(bool isSyncing READ isSyncing NOTIFY isSyncingChanged)
    Q_PROPERTY(QDateTime lastCompleteSyncAt READ lastCompleteSyncAtForQml NOTIFY lastCompleteSyncAtChanged)
    Q_PROPERTY(QString syncSummary READ syncSummary NOTIFY syncSummaryChanged)
    Q_PROPERTY(larkpin::SuggestionRefreshState suggestionRefreshState READ suggestionRefreshState NOTIFY
                   suggestionRefreshStateChanged)

public:
    /// What the model is built from. `standard` gives the real ones; tests replace parts.
    struct Services {
        std::filesystem::path databasePath;
        std::shared_ptr<const Clock> clock = SystemClock::shared();
        std::shared_ptr<const HTTPSession> session;
        /// Called once at creation; a throw leaves the model without authorization.
        std::function<std::unique_ptr<GoogleOAuthClient>()> makeOAuthClient;
        std::shared_ptr<FocusedFieldSource> fields;
        std::shared_ptr<AccessibilityTrust> trust;
        std::shared_ptr<SuggestionPanel> panel; ///< null: nothing is shown
        std::shared_ptr<Clipboard> clipboard;   ///< null: copying reports that there is none
        std::chrono::milliseconds tickInterval{350};

        /// The user's database, the OAuth client of the process, the AT-SPI coordinator over
        /// `screens`. Main thread only.
        static Services standard(AccessibilityCoordinator::ScreenList screens);
    };

    struct SyncAccountOutcome {
        std::int64_t newCodes = 0;
        std::optional<std::string> errorMessage;
    };
    struct SyncBatchOutcome {
        std::int64_t newCodes = 0;
        std::vector<std::string> errors;
        std::set<std::string> attemptedAccountIDs;
        std::set<std::string> failedAccountIDs;
    };

    static constexpr int cachedCodeLimit = 20;
    static constexpr int heavyTickPeriod = 6;
    static constexpr std::size_t suggestedCodeLimit = 3;
    static constexpr Seconds focusedSyncInterval{15};
    static constexpr Seconds idleSyncInterval{60};
    static constexpr Seconds connectedSyncInterval{10};
    static constexpr std::chrono::seconds authorizationTimeout{180};
    static constexpr double codeLifetime = 600;

    explicit AppStore(Services services, QObject* parent = nullptr);
    /// Stops a waiting authorization and waits for the running worker calls; operations still
    /// suspended end without touching anything.
    ~AppStore() override;

    // Observable state.
    const std::vector<GmailAccount>& accounts() const { return accounts_.rows(); }
    const std::vector<OTPCode>& codes() const { return codes_.rows(); }
    bool isMonitoring() const { return isMonitoring_; }
    /// Persisted at once, also when unchanged.
    void setMonitoring(bool monitoring);
    bool isAccessibilityEnabled() const { return isAccessibilityEnabled_; }
    QString statusMessage() const { return statusMessage_; }
    bool isConnecting() const { return isConnecting_; }
    bool isSyncing() const { return isSyncing_; }
    const SuggestionRefreshState& suggestionRefreshState() const { return refreshState_; }

    // Derived values, computed at the time of the call.
    std::vector<OTPCode> activeCodes() const;
    std::vector<OTPCode> recentCodes() const;
    std::vector<OTPCode> usedCodes() const;
    std::optional<TimePoint> lastCompleteSyncAt() const;
    QString syncSummary() const;

    /// When the account may be synced next; absent when it is due now.
    std::optional<TimePoint> nextSyncAt(const std::string& accountID) const;

    AccountListModel* accountsModel() { return &accounts_; }
    CodeListModel* codesModel() { return &codes_; }
    CodeListModel* activeCodesModel() { return &activeCodesModel_; }
    CodeListModel* recentCodesModel() { return &recentCodesModel_; }
    CodeListModel* usedCodesModel() { return &usedCodesModel_; }
    QDateTime lastCompleteSyncAtForQml() const;

    // Cache and sync schedule.
    QCoro::Task<> reloadCache();
    QCoro::Task<std::optional<SyncBatchOutcome>> syncDueAccounts(bool isOTPFieldFocused, bool force);
    QCoro::Task<SyncAccountOutcome> sync(GmailAccount account, Seconds successInterval);

    // Account and code actions.
    QCoro::Task<> connectGmail();
    QCoro::Task<> disconnect(GmailAccount account);
    QCoro::Task<> setEnabled(bool enabled, GmailAccount account);
    QCoro::Task<> copy(OTPCode code);
    void requestAccessibility();

    // The monitoring loop and the suggestions.
    /// Starts the loop once; later calls do nothing.
    void start();
    bool updateSuggestion();
    void applySuggestionRefresh(const SyncBatchOutcome& outcome);
    QCoro::Task<> refreshNow();
    QCoro::Task<> setUsed(bool used, OTPCode code, QString status);

    // For QML: the same operations by id, started and left to run.
    Q_INVOKABLE void connectAccount();
    Q_INVOKABLE void disconnectAccount(const QString& accountID);
    Q_INVOKABLE void setAccountEnabled(const QString& accountID, bool enabled);
    Q_INVOKABLE void copyCode(const QString& codeID);
    Q_INVOKABLE void setCodeUsed(const QString& codeID, bool used, const QString& status);
    Q_INVOKABLE void refresh();
    Q_INVOKABLE void askForAccessibility() { requestAccessibility(); }

signals:
    void accountsChanged();
    void codesChanged();
    void activeCodesChanged();
    void recentCodesChanged();
    void usedCodesChanged();
    void isMonitoringChanged();
    void isAccessibilityEnabledChanged();
    void statusMessageChanged();
    void isConnectingChanged();
    void isSyncingChanged();
    void lastCompleteSyncAtChanged();
    void syncSummaryChanged();
    void suggestionRefreshStateChanged();
    /// After each tick of the monitoring loop: whether it was a heavy one and how long it took.
    void monitoringTicked(bool heavy, qint64 microseconds);

private:
    /// Awaited calls are built in a statement of their own and awaited as a variable: GCC 12
    /// destroys a closure twice when it is a temporary of the co_await expression.
    template <typename Work> auto onWorker(QThreadPool& pool, Work work)
    {
        return WorkerCall<std::invoke_result_t<Work>>(pool, resumes_, std::move(work));
    }
    /// True while the model may still be touched after an await.
    static bool alive(const QPointer<AppStore>& self) { return self && !self->closing_; }

    /// Runs `write` on `worker` with the store, then reloads the cache. False when there is no
    /// store, the write failed (its description is then the status) or the model went away.
    QCoro::Task<bool> writeThenReload(QThreadPool& worker, std::function<void(LocalStore&)> write);
    /// Opens the database and the sync engine on it; on failure the status says why.
    bool openStore();
    QCoro::Task<> tick();
    void scheduleTick();
    void setAccounts(std::vector<GmailAccount> accounts);
    void setCodes(std::vector<OTPCode> codes);
    void setAccessibilityEnabled(bool enabled);
    void setStatusMessage(const QString& message);
    void setConnecting(bool connecting);
    void setSyncing(bool syncing);
    void setRefreshState(const SuggestionRefreshState& state);
    /// Brings the derived values and their models up to date, signals what changed and sets the
    /// expiry timer to the next cached code's expiry.
    void updateDerived();
    void hidePanel();
    std::vector<OTPCode> firstSuggested() const;
    std::optional<GmailAccount> accountWithID(const std::string& id) const;
    std::optional<OTPCode> codeWithID(const QString& id) const;
    GmailAPIClient clientFor(const std::string& accountID) const;

    // Seams and services.
    std::shared_ptr<const Clock> clock_;
    std::shared_ptr<const HTTPSession> session_;
    std::shared_ptr<FocusedFieldSource> fields_;
    std::shared_ptr<AccessibilityTrust> trust_;
    std::shared_ptr<SuggestionPanel> panel_;
    std::shared_ptr<Clipboard> clipboard_;
    std::chrono::milliseconds tickInterval_;
    std::filesystem::path databasePath_;
    std::shared_ptr<LocalStore> localStore_;
    std::shared_ptr<GmailSyncEngine> syncEngine_;
    /// Whether claims left pending by an earlier run or a failed sync may be in the store; used by
    /// the sync worker only.
    std::shared_ptr<bool> orphanedClaims_ = std::make_shared<bool>(true);
    std::shared_ptr<GoogleOAuthClient> oauthClient_;

    // Observable state.
    AccountListModel accounts_;
    CodeListModel codes_;
    bool isMonitoring_ = true;
    bool isAccessibilityEnabled_ = false;
    QString statusMessage_ = QStringLiteral("Ready");
    bool isConnecting_ = false;
    bool isSyncing_ = false;
    SuggestionRefreshState refreshState_;

    // Derived values as last signalled.
    CodeListModel activeCodesModel_;
    CodeListModel recentCodesModel_;
    CodeListModel usedCodesModel_;
    std::optional<TimePoint> lastCompleteSyncAt_;
    QString syncSummary_;
    QTimer expiryTimer_;

    // Schedule and loop.
    std::map<std::string, TimePoint> nextSyncByAccount_;
    std::map<std::string, int> failures_;
    /// Accounts whose disconnection runs: a sync of theirs that ends meanwhile changes nothing.
    std::set<std::string> disconnecting_;
    bool wasOTPFieldFocused_ = false;
    bool monitorStarted_ = false;
    std::uint64_t tickCount_ = 0;
    QTimer tickTimer_;

    // One worker per service, so that each serialises its own work; the authorization waits on its own.
    QThreadPool storeWorker_;
    QThreadPool syncWorker_;
    QThreadPool tokenWorker_;
    QThreadPool authorizationWorker_;
    std::stop_source authorizationStop_;
    ResumeQueue resumes_;
    bool closing_ = false;
};

} // namespace larkpin
