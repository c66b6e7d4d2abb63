#include "app/model/AppStore.h"

#include "app/model/AccessibilityFieldSource.h"
#include "app/model/QtTime.h"
#include "core/extraction/OTPExtractor.h"
#include "core/services/GmailAPIClient.h"

#include <QElapsedTimer>
#include <QSettings>

#include <algorithm>
#include <cmath>
#include <utility>

namespace larkpin {
namespace {

constexpr auto monitoringKey = "monitoringEnabled";
constexpr TimePoint distantPast = TimePoint::min();
constexpr double minimumRateLimitDelay = 5;
constexpr double maximumRateLimitDelay = 900;
constexpr int maximumFailureCount = 6;

QSettings userDefaults()
{
    return QSettings(QStringLiteral("Larkpin"), QStringLiteral("Larkpin"));
}

/// A missing value or one that is not a boolean reads as true. The INI file keeps no types, so a
/// boolean comes back as the text "true" or "false".
bool storedMonitoring()
{
    const QVariant value = userDefaults().value(monitoringKey);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString && (value.toString() == "true" || value.toString() == "false"))
        return value.toString() == "true";
    return true;
}

QString plural(std::int64_t count, const char* noun)
{
    return QString::number(count) + " " + noun + (count == 1 ? "" : "s");
}

QString describe(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return QString::fromStdString(error.what());
    } catch (...) {
        return QStringLiteral("An unexpected error occurred");
    }
}

std::optional<GmailAPIClient::APIError> apiErrorOf(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const GmailAPIClient::APIError& error) {
        return error;
    } catch (...) {
        return std::nullopt;
    }
}

/// Seconds before the account is tried again after its `count`th failure in a row.
double backOff(int count, const std::optional<GmailAPIClient::APIError>& error)
{
    const double plain = 5 * std::pow(2.0, count);
    if (error && error->kind() == GmailAPIClient::APIError::Kind::rateLimited)
        return std::clamp(error->retryAfter().value_or(plain), minimumRateLimitDelay, maximumRateLimitDelay);
    return plain;
}

std::vector<OTPCode> firstOf(std::vector<OTPCode> codes, std::size_t count)
{
    if (codes.size() > count)
        codes.resize(count);
    return codes;
}

} // namespace

AppStore::Services AppStore::Services::standard(AccessibilityCoordinator::ScreenList screens)
{
    auto accessibility = std::make_shared<AccessibilityFieldSource>(std::move(screens));
    Services services;
    services.databasePath = LocalStore::defaultPath();
    services.session = std::make_shared<HTTPSession>();
    services.makeOAuthClient = [] { return GoogleOAuthClient::fromProcess(); };
    services.fields = accessibility;
    services.trust = accessibility;
    return services;
}

AppStore::AppStore(Services services, QObject* parent)
    : QObject(parent)
    , clock_(services.clock ? std::move(services.clock) : SystemClock::shared())
    , session_(services.session ? std::move(services.session) : std::make_shared<HTTPSession>())
    , fields_(std::move(services.fields))
    , trust_(std::move(services.trust))
    , panel_(std::move(services.panel))
    , clipboard_(std::move(services.clipboard))
    , tickInterval_(services.tickInterval)
    , databasePath_(std::move(services.databasePath))
{
    for (auto* worker : {&storeWorker_, &syncWorker_, &tokenWorker_})
        worker->setMaxThreadCount(1);
    // Connections are not guarded against each other: each waits for its own browser.
    authorizationWorker_.setMaxThreadCount(4);
    expiryTimer_.setSingleShot(true);
    connect(&expiryTimer_, &QTimer::timeout, this, &AppStore::updateDerived);
    tickTimer_.setSingleShot(true);
    tickTimer_.setTimerType(Qt::PreciseTimer);
    connect(&tickTimer_, &QTimer::timeout, this, [this] { tick(); });

    isMonitoring_ = storedMonitoring();
    openStore();
    try {
        if (services.makeOAuthClient)
            oauthClient_ = services.makeOAuthClient();
    } catch (...) {
        oauthClient_.reset();
    }
    syncSummary_ = syncSummary();
}

bool AppStore::openStore()
{
    // Opening writes (the schema, the journal mode), so another program in the middle of a write,
    // the command-line tool say, makes it fail for a moment: the failure is the status, and the
    // monitoring loop tries again until the file opens.
    try {
        auto store = std::make_shared<LocalStore>(databasePath_, clock_);
        syncEngine_ = std::make_shared<GmailSyncEngine>(*store, OTPExtractor(codeLifetime), clock_);
        localStore_ = std::move(store);
        return true;
    } catch (...) {
        setStatusMessage(describe(std::current_exception()));
        return false;
    }
}

AppStore::~AppStore()
{
    closing_ = true;
    tickTimer_.stop();
    expiryTimer_.stop();
    authorizationStop_.request_stop();
    for (auto* worker : {&authorizationWorker_, &tokenWorker_, &syncWorker_, &storeWorker_})
        worker->waitForDone();
    resumes_.close();
}

// --- State ----------------------------------------------------------------------------------------

void AppStore::setMonitoring(bool monitoring)
{
    userDefaults().setValue(monitoringKey, monitoring);
    if (monitoring == isMonitoring_)
        return;
    isMonitoring_ = monitoring;
    emit isMonitoringChanged();
}

void AppStore::setAccounts(std::vector<GmailAccount> accounts)
{
    if (accounts == accounts_.rows())
        return;
    accounts_.update(accounts);
    emit accountsChanged();
    updateDerived();
}

void AppStore::setCodes(std::vector<OTPCode> codes)
{
    if (codes == codes_.rows())
        return;
    codes_.update(codes);
    emit codesChanged();
    updateDerived();
}

void AppStore::setAccessibilityEnabled(bool enabled)
{
    if (enabled == isAccessibilityEnabled_)
        return;
    isAccessibilityEnabled_ = enabled;
    emit isAccessibilityEnabledChanged();
}

void AppStore::setStatusMessage(const QString& message)
{
    if (message == statusMessage_)
        return;
    statusMessage_ = message;
    emit statusMessageChanged();
}

void AppStore::setConnecting(bool connecting)
{
    if (connecting == isConnecting_)
        return;
    isConnecting_ = connecting;
    emit isConnectingChanged();
}

void AppStore::setSyncing(bool syncing)
{
    if (syncing == isSyncing_)
        return;
    isSyncing_ = syncing;
    emit isSyncingChanged();
    updateDerived();
}

void AppStore::setRefreshState(const SuggestionRefreshState& state)
{
    if (state == refreshState_)
        return;
    refreshState_ = state;
    emit suggestionRefreshStateChanged();
}

std::vector<OTPCode> AppStore::recentCodes() const
{
    const TimePoint now = clock_->now();
    std::vector<OTPCode> recent;
    for (const auto& code : codes())
        if (!code.isExpired(now))
            recent.push_back(code);
    std::stable_sort(recent.begin(), recent.end(),
                     [](const OTPCode& a, const OTPCode& b) { return a.receivedAt > b.receivedAt; });
    return recent;
}

std::vector<OTPCode> AppStore::activeCodes() const
{
    auto codes = recentCodes();
    std::erase_if(codes, [](const OTPCode& code) { return code.isUsed(); });
    return codes;
}

std::vector<OTPCode> AppStore::usedCodes() const
{
    auto codes = recentCodes();
    std::erase_if(codes, [](const OTPCode& code) { return !code.isUsed(); });
    return codes;
}

std::optional<TimePoint> AppStore::lastCompleteSyncAt() const
{
    std::optional<TimePoint> earliest;
    for (const auto& account : accounts()) {
        if (!account.isEnabled)
            continue;
        if (!account.lastSyncAt)
            return std::nullopt;
        earliest = earliest ? std::min(*earliest, *account.lastSyncAt) : *account.lastSyncAt;
    }
    return earliest;
}

QDateTime AppStore::lastCompleteSyncAtForQml() const
{
    return toQDateTime(lastCompleteSyncAt());
}

QString AppStore::syncSummary() const
{
    if (isSyncing_)
        return QStringLiteral("Refreshing Gmail…");
    if (accounts().empty())
        return QStringLiteral("No Gmail accounts");
    const auto enabled = std::count_if(accounts().begin(), accounts().end(),
                                       [](const GmailAccount& account) { return account.isEnabled; });
    return "Monitoring " + QString::number(enabled) + " of " + plural(std::ssize(accounts()), "account");
}

std::optional<TimePoint> AppStore::nextSyncAt(const std::string& accountID) const
{
    const auto found = nextSyncByAccount_.find(accountID);
    if (found == nextSyncByAccount_.end())
        return std::nullopt;
    return found->second;
}

void AppStore::updateDerived()
{
    const auto update = [this](CodeListModel& model, const std::vector<OTPCode>& codes,
                               void (AppStore::*changed)()) {
        if (codes == model.rows())
            return;
        model.update(codes);
        emit(this->*changed)();
    };
    update(activeCodesModel_, activeCodes(), &AppStore::activeCodesChanged);
    update(recentCodesModel_, recentCodes(), &AppStore::recentCodesChanged);
    update(usedCodesModel_, usedCodes(), &AppStore::usedCodesChanged);
    if (const auto complete = lastCompleteSyncAt(); complete != lastCompleteSyncAt_) {
        lastCompleteSyncAt_ = complete;
        emit lastCompleteSyncAtChanged();
    }
    if (const QString summary = syncSummary(); summary != syncSummary_) {
        syncSummary_ = summary;
        emit syncSummaryChanged();
    }

    // One timer for the next expiry among the cached codes, instead of polling.
    const TimePoint now = clock_->now();
    std::optional<TimePoint> next;
    for (const auto& code : codes())
        if (!code.isExpired(now) && (!next || code.expiresAt < *next))
            next = code.expiresAt;
    if (!next) {
        expiryTimer_.stop();
        return;
    }
    const double milliseconds = std::ceil((*next - now).count() * 1000) + 1;
    expiryTimer_.start(static_cast<int>(std::min(milliseconds, 86'400'000.0)));
}

std::optional<GmailAccount> AppStore::accountWithID(const std::string& id) const
{
    for (const auto& account : accounts())
        if (account.id == id)
            return account;
    return std::nullopt;
}

std::optional<OTPCode> AppStore::codeWithID(const QString& id) const
{
    const auto parsed = Uuid::parse(id.toStdString());
    for (const auto& code : codes())
        if (parsed && code.id == *parsed)
            return code;
    return std::nullopt;
}

// --- Cache and sync schedule ----------------------------------------------------------------------

QCoro::Task<> AppStore::reloadCache()
{
    if (!localStore_)
        co_return;
    QPointer self(this);
    const auto store = localStore_;
    try {
        auto readAccounts = onWorker(storeWorker_, [store] { return store->accounts(); });
        auto accounts = co_await readAccounts;
        if (!alive(self))
            co_return;
        setAccounts(std::move(accounts));
        auto readCodes = onWorker(storeWorker_, [store] { return store->recentCodes(cachedCodeLimit); });
        auto codes = co_await readCodes;
        if (!alive(self))
            co_return;
        setCodes(std::move(codes));
    } catch (...) {
        if (alive(self))
            setStatusMessage(QStringLiteral("Could not read the local cache"));
    }
}

QCoro::Task<std::optional<AppStore::SyncBatchOutcome>> AppStore::syncDueAccounts(bool isOTPFieldFocused,
                                                                                 bool force)
{
    if ((!isMonitoring_ && !force) || !oauthClient_ || isSyncing_)
        co_return std::nullopt;
    const TimePoint now = clock_->now();
    std::vector<GmailAccount> due;
    for (const auto& account : accounts())
        if (account.isEnabled && nextSyncAt(account.id).value_or(distantPast) <= now)
            due.push_back(account);
    if (due.empty())
        co_return std::nullopt;

    QPointer self(this);
    setSyncing(true);
    SyncBatchOutcome outcome;
    for (const auto& account : due) {
        if (disconnecting_.contains(account.id))
            continue;
        outcome.attemptedAccountIDs.insert(account.id);
        auto syncing = sync(account, isOTPFieldFocused ? focusedSyncInterval : idleSyncInterval);
        const auto result = co_await syncing;
        if (!alive(self))
            co_return std::nullopt;
        outcome.newCodes += result.newCodes;
        if (result.errorMessage) {
            outcome.errors.push_back(*result.errorMessage);
            outcome.failedAccountIDs.insert(account.id);
        }
    }
    co_await reloadCache();
    if (!alive(self))
        co_return std::nullopt;
    setSyncing(false);
    co_return outcome;
}

GmailAPIClient AppStore::clientFor(const std::string& accountID) const
{
    // Asked on the sync worker, once per request.
    return GmailAPIClient(
        session_, oauthClient_->configuration().gmailEndpoint(),
        [oauth = oauthClient_, accountID] { return oauth->tokenManager().accessToken(accountID); });
}

QCoro::Task<AppStore::SyncAccountOutcome> AppStore::sync(GmailAccount account, Seconds successInterval)
{
    if (!oauthClient_ || !syncEngine_)
        co_return SyncAccountOutcome{.newCodes = 0, .errorMessage = "Gmail sync is unavailable"};
    QPointer self(this);
    const auto engine = syncEngine_;
    const auto store = localStore_; // the engine works on it
    const auto oauth = oauthClient_;
    const GmailAPIClient client = clientFor(account.id);

    std::optional<SyncResult> result;
    std::exception_ptr failure;
    for (int attempt = 0; attempt < 2; ++attempt) {
        failure = nullptr;
        try {
            auto syncing = onWorker(syncWorker_, [engine, store, account, client, orphans = orphanedClaims_] {
                // The application is the one program that claims messages and syncs one account at
                // a time, so a claim pending between syncs was left by a run killed mid-sync, or by
                // a failed sync whose release failed too (the tool held the file). Kept, it would
                // make this sync skip the message and move the history position past it for good.
                // Should another run hold it after all, the message is fetched twice and still
                // keeps one code.
                if (*orphans) {
                    store->releasePendingClaims();
                    *orphans = false;
                }
                try {
                    return engine->sync(account, client);
                } catch (...) {
                    *orphans = true;
                    throw;
                }
            });
            result = co_await syncing;
        } catch (...) {
            failure = std::current_exception();
        }
        if (!alive(self))
            co_return SyncAccountOutcome{};
        if (disconnecting_.contains(account.id))
            co_return SyncAccountOutcome{};
        const auto apiError = failure ? apiErrorOf(failure) : std::nullopt;
        if (attempt > 0 || !apiError || apiError->kind() != GmailAPIClient::APIError::Kind::unauthorized)
            break;
        // Gmail refused the cached access token: the next request refreshes it, once.
        try {
            auto forgetting = onWorker(
                tokenWorker_, [oauth, id = account.id] { oauth->tokenManager().forgetAccessToken(id); });
            co_await forgetting;
        } catch (...) {
        }
        if (!alive(self))
            co_return SyncAccountOutcome{};
    }

    const TimePoint now = clock_->now();
    if (!failure) {
        failures_[account.id] = 0;
        nextSyncByAccount_[account.id] = now + successInterval;
        if (result->newCodes >= 1)
            setStatusMessage("Found " + plural(result->newCodes, "new code"));
        co_return SyncAccountOutcome{.newCodes = result->newCodes, .errorMessage = std::nullopt};
    }
    const int count = std::min(failures_[account.id] + 1, maximumFailureCount);
    failures_[account.id] = count;
    nextSyncByAccount_[account.id] = now + Seconds(backOff(count, apiErrorOf(failure)));
    const QString message = QString::fromStdString(account.email) + ": " + describe(failure);
    setStatusMessage(message);
    co_return SyncAccountOutcome{.newCodes = 0, .errorMessage = message.toStdString()};
}

// --- Account and code actions ---------------------------------------------------------------------

QCoro::Task<> AppStore::connectGmail()
{
    if (!oauthClient_ || !localStore_) {
        setStatusMessage(QStringLiteral("Add a Google OAuth client ID to connect Gmail"));
        co_return;
    }
    QPointer self(this);
    const auto oauth = oauthClient_;
    const auto store = localStore_;
    setConnecting(true);
    setStatusMessage(QStringLiteral("Waiting for Google…"));
    GmailAccount account;
    try {
        auto authorizing = onWorker(authorizationWorker_, [oauth, stop = authorizationStop_.get_token()] {
            return oauth->authorize(authorizationTimeout, stop);
        });
        const auto granted = co_await authorizing;
        if (!alive(self))
            co_return;
        // On the sync worker, behind any running sync, so that a reconnect keeps the newest position.
        auto saving = onWorker(syncWorker_, [store, granted] {
            GmailAccount saved{.id = granted.id, .email = granted.email};
            for (const auto& existing : store->accounts())
                if (existing.id == granted.id) {
                    saved.lastHistoryID = existing.lastHistoryID;
                    saved.lastSyncAt = existing.lastSyncAt;
                    break;
                }
            saved.isEnabled = true;
            store->upsert(saved);
            return saved;
        });
        account = co_await saving;
        if (!alive(self))
            co_return;
    } catch (...) {
        if (alive(self)) {
            setStatusMessage(describe(std::current_exception()));
            setConnecting(false);
        }
        co_return;
    }
    auto syncing = sync(account, connectedSyncInterval);
    co_await syncing;
    if (!alive(self))
        co_return;
    co_await reloadCache();
    if (!alive(self))
        co_return;
    setStatusMessage("Connected " + QString::fromStdString(account.email));
    setConnecting(false);
}

QCoro::Task<> AppStore::disconnect(GmailAccount account)
{
    if (!localStore_)
        co_return;
    QPointer self(this);
    const auto oauth = oauthClient_;
    const auto store = localStore_;
    disconnecting_.insert(account.id);
    struct Unmark {
        QPointer<AppStore> self;
        std::string id;
        ~Unmark()
        {
            if (self)
                self->disconnecting_.erase(id);
        }
    } const unmark{self, account.id};
    try {
        if (oauth) {
            auto revoking = onWorker(
                tokenWorker_, [oauth, id = account.id] { oauth->tokenManager().removeAuthorization(id); });
            co_await revoking;
            if (!alive(self))
                co_return;
        }
        // Behind a running sync of the account, so that none of its codes outlive it.
        auto deleting =
            onWorker(syncWorker_, [store, account] { store->deleteAccount(account.id, account.email); });
        co_await deleting;
        if (!alive(self))
            co_return;
    } catch (...) {
        if (alive(self))
            setStatusMessage(describe(std::current_exception()));
        co_return;
    }
    nextSyncByAccount_.erase(account.id);
    failures_.erase(account.id);
    co_await reloadCache();
    if (!alive(self))
        co_return;
    setStatusMessage("Disconnected " + QString::fromStdString(account.email));
}

QCoro::Task<> AppStore::setEnabled(bool enabled, GmailAccount account)
{
    // From the stored account, behind any running sync, so that the switch never writes back an
    // older history position.
    auto switching = writeThenReload(syncWorker_, [account, enabled](LocalStore& store) {
        GmailAccount saved = account;
        for (const auto& existing : store.accounts())
            if (existing.id == account.id)
                saved = existing;
        saved.isEnabled = enabled;
        store.upsert(saved);
    });
    if (!co_await switching)
        co_return;
    if (enabled)
        nextSyncByAccount_[account.id] = distantPast;
    setStatusMessage((enabled ? "Monitoring " : "Paused ") + QString::fromStdString(account.email));
}

QCoro::Task<> AppStore::copy(OTPCode code)
{
    try {
        if (!clipboard_)
            throw Clipboard::Error("No clipboard is available");
        clipboard_->setText(code.value);
    } catch (...) {
        setStatusMessage(describe(std::current_exception()));
        co_return;
    }
    const QString status = "Copied " + QString::fromStdString(code.issuer) + " code";
    auto marking = setUsed(true, code, status);
    co_await marking;
}

void AppStore::requestAccessibility()
{
    const bool trusted = trust_ && trust_->requestTrust();
    setAccessibilityEnabled(trusted);
    setStatusMessage(trusted ? QStringLiteral("Accessibility enabled")
                             : QStringLiteral("Turn on accessibility support in your desktop settings"));
}

// --- The monitoring loop and the suggestions ------------------------------------------------------

void AppStore::start()
{
    if (monitorStarted_)
        return;
    monitorStarted_ = true;
    setAccessibilityEnabled(trust_ && trust_->isTrusted());
    tick();
}

void AppStore::scheduleTick()
{
    tickTimer_.start(tickInterval_);
}

QCoro::Task<> AppStore::tick()
{
    QPointer self(this);
    QElapsedTimer elapsed;
    elapsed.start();
    const bool heavy = tickCount_ % heavyTickPeriod == 0;
    // Errors of a tick never end the loop: the next one runs regardless.
    try {
        if (heavy) {
            setAccessibilityEnabled(trust_ && trust_->isTrusted());
            if (!localStore_ && openStore())
                setStatusMessage(QStringLiteral("Ready"));
            co_await reloadCache();
            if (!alive(self))
                co_return;
        }
        const bool focused = updateSuggestion();
        if (focused && !wasOTPFieldFocused_) {
            // A code field just took the focus: the code is probably on its way, so look now.
            const TimePoint now = clock_->now();
            for (const auto& account : accounts())
                if (account.isEnabled &&
                    (!account.lastSyncAt || now - *account.lastSyncAt > focusedSyncInterval))
                    nextSyncByAccount_[account.id] = distantPast;
        }
        wasOTPFieldFocused_ = focused;
        const auto outcome = co_await syncDueAccounts(focused, false);
        if (!alive(self))
            co_return;
        if (outcome)
            applySuggestionRefresh(*outcome);
    } catch (...) {
        if (!alive(self))
            co_return;
        setStatusMessage(describe(std::current_exception()));
    }
    ++tickCount_;
    scheduleTick();
    emit monitoringTicked(heavy, elapsed.nsecsElapsed() / 1000);
}

std::vector<OTPCode> AppStore::firstSuggested() const
{
    return firstOf(activeCodes(), suggestedCodeLimit);
}

void AppStore::hidePanel()
{
    if (panel_)
        panel_->hide();
}

bool AppStore::updateSuggestion()
{
    std::optional<FocusedFieldSource::FocusedField> field;
    if (isMonitoring_ && fields_) {
        try {
            field = fields_->focusedOTPField();
        } catch (...) {
            field.reset();
        }
    }
    if (!field) {
        hidePanel();
        return false;
    }
    const auto active = activeCodes();
    SuggestionRefreshState state = refreshState_;
    state.observe(firstOf(active, suggestedCodeLimit), lastCompleteSyncAt());
    setRefreshState(state);
    const auto visible = firstOf(refreshState_.visibleCodes(active), suggestedCodeLimit);
    if (visible.empty()) {
        hidePanel();
        return true;
    }
    if (panel_) {
        QPointer self(this);
        auto refresh = [self] {
            if (alive(self))
                self->refreshNow();
        };
        auto fill = [self, field = *field](const OTPCode& code) {
            if (!alive(self))
                return;
            try {
                self->fields_->fill(code.value, field);
                self->hidePanel();
                self->setUsed(true, code, "Filled " + QString::fromStdString(code.issuer) + " code");
            } catch (...) {
                self->setStatusMessage(describe(std::current_exception()));
                self->hidePanel();
            }
        };
        panel_->show(visible, refreshState_, isSyncing_, *field, std::move(refresh), std::move(fill));
    }
    return true;
}

void AppStore::applySuggestionRefresh(const SyncBatchOutcome& outcome)
{
    const auto visible = firstSuggested();
    SuggestionRefreshState state = refreshState_;
    if (!outcome.errors.empty()) {
        if (!state.isRefreshing)
            state.observe(visible, lastCompleteSyncAt());
        state.isRefreshing = false;
        state.errorMessage = outcome.errors.front();
        state.failedAccountIDs.insert(outcome.failedAccountIDs.begin(), outcome.failedAccountIDs.end());
        for (const auto& id : outcome.attemptedAccountIDs)
            if (!outcome.failedAccountIDs.contains(id))
                state.failedAccountIDs.erase(id);
    } else {
        for (const auto& id : outcome.attemptedAccountIDs)
            state.failedAccountIDs.erase(id);
        if (state.failedAccountIDs.empty())
            state.succeed(visible, lastCompleteSyncAt());
        else
            state.isRefreshing = false;
    }
    setRefreshState(state);
}

QCoro::Task<> AppStore::refreshNow()
{
    if (isSyncing_)
        co_return;
    SuggestionRefreshState state = refreshState_;
    if (!state.begin(firstSuggested(), lastCompleteSyncAt()))
        co_return;
    setRefreshState(state);
    for (const auto& account : accounts())
        if (account.isEnabled)
            nextSyncByAccount_[account.id] = distantPast;
    setStatusMessage(QStringLiteral("Refreshing Gmail…"));
    QPointer self(this);
    std::optional<SyncBatchOutcome> outcome;
    try {
        outcome = co_await syncDueAccounts(wasOTPFieldFocused_, true);
    } catch (...) {
    }
    if (!alive(self))
        co_return;
    if (outcome) {
        applySuggestionRefresh(*outcome);
        if (outcome->errors.empty() && outcome->newCodes == 0)
            setStatusMessage(QStringLiteral("Gmail refreshed"));
        updateSuggestion();
        co_return;
    }
    state = refreshState_;
    state.isRefreshing = false;
    state.errorMessage = "No Gmail account is ready to refresh";
    setRefreshState(state);
}

QCoro::Task<> AppStore::setUsed(bool used, OTPCode code, QString status)
{
    const TimePoint now = clock_->now();
    auto marking = writeThenReload(storeWorker_, [used, id = code.id, now](LocalStore& store) {
        if (used)
            store.markUsed(id, now);
        else
            store.markUnused(id);
    });
    if (!co_await marking)
        co_return;
    setStatusMessage(status);
    if (used)
        hidePanel();
}

QCoro::Task<bool> AppStore::writeThenReload(QThreadPool& worker, std::function<void(LocalStore&)> write)
{
    if (!localStore_)
        co_return false;
    QPointer self(this);
    try {
        auto writing = onWorker(worker, [store = localStore_, write = std::move(write)] { write(*store); });
        co_await writing;
    } catch (...) {
        if (alive(self))
            setStatusMessage(describe(std::current_exception()));
        co_return false;
    }
    if (!alive(self))
        co_return false;
    co_await reloadCache();
    co_return alive(self);
}

// --- For QML --------------------------------------------------------------------------------------

void AppStore::connectAccount()
{
    connectGmail();
}

void AppStore::disconnectAccount(const QString& accountID)
{
    if (const auto account = accountWithID(accountID.toStdString()))
        disconnect(*account);
}

void AppStore::setAccountEnabled(const QString& accountID, bool enabled)
{
    if (const auto account = accountWithID(accountID.toStdString()))
        setEnabled(enabled, *account);
}

void AppStore::copyCode(const QString& codeID)
{
    if (const auto code = codeWithID(codeID))
        copy(*code);
}

void AppStore::setCodeUsed(const QString& codeID, bool used, const QString& status)
{
    if (const auto code = codeWithID(codeID))
        setUsed(used, *code, status);
}

void AppStore::refresh()
{
    refreshNow();
}

} // namespace larkpin
