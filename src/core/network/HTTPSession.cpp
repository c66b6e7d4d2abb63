#include "core/network/HTTPSession.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace larkpin {
namespace {

struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct MultiCleanup {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;

struct HeaderListCleanup {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;

using Clock = std::chrono::steady_clock;

struct Received {
    HTTPSession::Response response;
    bool tooLarge = false;
    bool requestIssued = false; ///< the connection is ready and the request is being written
    Clock::time_point lastProgress = Clock::now(); ///< when a byte last moved either way
    curl_off_t uploaded = 0;
};

int noteRequestIssued(void* context, char*, char*, int, int)
{
    static_cast<Received*>(context)->requestIssued = true;
    return CURL_PREREQFUNC_OK;
}

int noteUpload(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto& transfer = *static_cast<Received*>(context);
    if (uploaded != transfer.uploaded) {
        transfer.uploaded = uploaded;
        transfer.lastProgress = Clock::now();
    }
    return 0;
}

size_t collectBody(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Received*>(context);
    const size_t bytes = size * count;
    if (transfer.response.body.size() + bytes > HTTPSession::maximumBodyBytes) {
        transfer.tooLarge = true;
        return 0; // makes libcurl abort the transfer
    }
    transfer.response.body.append(data, bytes);
    transfer.lastProgress = Clock::now();
    return bytes;
}

size_t collectHeader(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Received*>(context);
    transfer.lastProgress = Clock::now();
    auto& headers = transfer.response.headers;
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        headers.clear(); // a new response (after an interim 1xx) starts over
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos)
        return size * count;
    auto value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' || value.back() == '\t'))
        value.remove_suffix(1);
    headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return size * count;
}

bool isUnreserved(unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~'; }

std::string percentEscaped(std::string_view text, std::string_view alsoAllowed)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c) || alsoAllowed.find(ch) != std::string_view::npos) {
            escaped += ch;
        } else {
            escaped += '%';
            escaped += digits[c >> 4];
            escaped += digits[c & 0x0F];
        }
    }
    return escaped;
}

} // namespace

/// An easy handle with the multi handle that drives it, kept together for reuse.
struct Handles {
    EasyHandle easy;
    MultiHandle multi;
};

/// The libcurl share object holding the connection pool, DNS cache and TLS sessions, with the
/// locks libcurl asks for, plus idle handles kept for reuse.
struct HTTPSession::Shared {
    Shared()
    {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share = curl_share_init();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &Shared::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &Shared::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~Shared()
    {
        idle.clear(); // every easy handle must be gone before the share
        curl_share_cleanup(share);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* context)
    {
        static_cast<Shared*>(context)->locks[static_cast<std::size_t>(data) % lockCount].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* context)
    {
        static_cast<Shared*>(context)->locks[static_cast<std::size_t>(data) % lockCount].unlock();
    }

    Handles acquire()
    {
        {
            const std::lock_guard guard(idleMutex);
            if (!idle.empty()) {
                Handles handles = std::move(idle.back());
                idle.pop_back();
                return handles;
            }
        }
        Handles handles{.easy = EasyHandle(curl_easy_init()), .multi = MultiHandle(curl_multi_init())};
        if (CURL* curl = handles.easy.get()) {
            // What every request of this session shares is set once per handle.
            curl_easy_setopt(curl, CURLOPT_SHARE, share);
            curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
            curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // timeouts must not raise signals in a threaded program
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collectBody);
            curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &collectHeader);
            curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &noteRequestIssued);
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &noteUpload);
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
            curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L); // bytes per second
        }
        return handles;
    }
    void giveBack(Handles handles)
    {
        // An unfinished transfer leaves with its connection closed. The options that point at
        // the finished request's buffers are cleared: those are about to go away.
        CURL* curl = handles.easy.get();
        curl_multi_remove_handle(handles.multi.get(), curl);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, nullptr);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, nullptr);
        const std::lock_guard guard(idleMutex);
        idle.push_back(std::move(handles));
    }

    static constexpr std::size_t lockCount = CURL_LOCK_DATA_LAST;
    CURLSH* share = nullptr;
    std::array<std::mutex, lockCount> locks;
    std::mutex idleMutex;
    std::vector<Handles> idle;
};

/// Everything libcurl writes into or reads from while the transfer runs, at a fixed address.
struct HTTPSession::Transfer::State {
    State(Shared& shared, std::chrono::milliseconds timeout)
        : shared(shared)
        , handles(shared.acquire())
        , timeout(timeout)
    {
    }
    ~State()
    {
        if (handles.easy && handles.multi)
            shared.giveBack(std::move(handles));
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    Shared& shared;
    Handles handles;
    HeaderList headers;
    Received received;
    std::array<char, CURL_ERROR_SIZE> errorText{};
    std::chrono::milliseconds timeout;
    Clock::time_point started = Clock::now();

    /// Lets libcurl do what it can now, then waits for its sockets, no longer than libcurl's next
    /// deadline or the moment the transfer would count as stalled. Returns how many transfers still
    /// run (this one or none). Throws TransportError, a stall included.
    int step(bool wait)
    {
        CURLM* multi = handles.multi.get();
        if (wait) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(received.lastProgress + timeout - Clock::now());
            const auto waitMs =
                static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 1, 1000));
            if (const CURLMcode polled = curl_multi_poll(multi, nullptr, 0, waitMs, nullptr);
                polled != CURLM_OK)
                throw TransportError(std::string("Network error: ") + curl_multi_strerror(polled));
        }
        int running = 0;
        if (const CURLMcode performed = curl_multi_perform(multi, &running); performed != CURLM_OK)
            throw TransportError(std::string("Network error: ") + curl_multi_strerror(performed));
        if (running > 0 && Clock::now() - received.lastProgress >= timeout)
            throw timedOut();
        return running;
    }

    /// The same account libcurl gives when its own limit ends a transfer.
    TransportError timedOut() const
    {
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        curl_off_t expected = -1;
        curl_easy_getinfo(handles.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
        return TransportError("Network error: Operation timed out after " + std::to_string(elapsed.count()) +
                              " milliseconds with " + std::to_string(received.response.body.size()) +
                              (expected >= 0 ? " out of " + std::to_string(expected) : std::string()) +
                              " bytes received");
    }
};

std::optional<std::string> HTTPSession::Response::header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (key.size() == name.size()
            && std::equal(key.begin(), key.end(), name.begin(),
                          [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b)); }))
            return value;
    return std::nullopt;
}

HTTPSession::HTTPSession() : shared_(std::make_unique<Shared>()) {}

HTTPSession::~HTTPSession() = default;

HTTPSession::Transfer::Transfer(std::unique_ptr<State> state) : state_(std::move(state)) {}
HTTPSession::Transfer::Transfer(Transfer&&) noexcept = default;
HTTPSession::Transfer& HTTPSession::Transfer::operator=(Transfer&&) noexcept = default;
HTTPSession::Transfer::~Transfer() = default;

HTTPSession::Response HTTPSession::send(const Request& request) const { return start(request).finish(); }

HTTPSession::Transfer HTTPSession::start(const Request& request) const
{
    auto state = std::make_unique<Transfer::State>(*shared_, request.timeout);
    CURL* curl = state->handles.easy.get();
    CURLM* multi = state->handles.multi.get();
    if (curl == nullptr || multi == nullptr)
        throw TransportError("Could not start a network request.");

    for (const auto& [name, value] : request.headers) {
        curl_slist* appended = curl_slist_append(state->headers.get(), (name + ": " + value).c_str());
        if (appended == nullptr)
            throw TransportError("Could not start a network request.");
        state->headers.release();
        state->headers.reset(appended);
    }

    // A handle from the pool keeps the session's options (set when it was made) and whatever
    // request options it had last time: every one of those is set again here.
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    // The timeout bounds a wait without progress, not the whole transfer: a large answer arriving
    // steadily over a slow link must not fail. libcurl's low-speed check counts whole seconds only,
    // so `step` also ends a transfer once `timeout` has passed with no byte moving either way.
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME,
                     static_cast<long>(std::max<std::chrono::seconds::rep>(
                         1, std::chrono::ceil<std::chrono::seconds>(request.timeout).count())));
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &state->received);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, state->headers.get());
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &state->received);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &state->received);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, state->errorText.data());
    curl_easy_setopt(curl, CURLOPT_PREREQDATA, &state->received);
    if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        const std::string& body = request.body ? *request.body : std::string();
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    } else {
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST,
                     request.method == "GET" || request.method == "POST" ? nullptr : request.method.c_str());

    if (const CURLMcode added = curl_multi_add_handle(multi, curl); added != CURLM_OK)
        throw TransportError(std::string("Could not start a network request: ") + curl_multi_strerror(added));
    // Connect (or take a kept-alive connection) and wait until the request is on its way, so the
    // server works on it while the caller does something else. A transfer that ends early (a
    // refused connection) leaves its outcome for `finish`.
    for (bool wait = false; state->step(wait) > 0 && !state->received.requestIssued; wait = true) {
    }
    return Transfer(std::move(state));
}

HTTPSession::Response HTTPSession::Transfer::finish()
{
    if (!state_)
        throw TransportError("The network request was already finished.");
    const std::unique_ptr<State> state = std::move(state_); // gives the handles back on every path
    CURL* curl = state->handles.easy.get();
    CURLM* multi = state->handles.multi.get();

    // While nobody drove the transfer the server may have been held up by a full socket: the wait
    // for progress starts now.
    state->received.lastProgress = Clock::now();
    std::optional<CURLcode> result;
    for (bool wait = false; !result; wait = true) {
        const int running = state->step(wait);
        int queued = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi, &queued))
            if (message->msg == CURLMSG_DONE && message->easy_handle == curl)
                result = message->data.result;
        if (!result && running == 0)
            throw TransportError("Network error: the request ended without an answer.");
    }

    if (*result != CURLE_OK) {
        // The handles go back to the pool either way; a broken connection is not reused.
        if (*result == CURLE_OPERATION_TIMEDOUT && state->received.requestIssued)
            throw state->timedOut(); // libcurl's low-speed check, a whole second late
        if (state->received.tooLarge)
            throw TransportError("The server's answer is larger than " + std::to_string(maximumBodyBytes / (1024 * 1024))
                                 + " MiB.");
        throw TransportError(std::string("Network error: ")
                             + (state->errorText[0] != '\0' ? state->errorText.data() : curl_easy_strerror(*result)));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    state->received.response.status = status;
    return std::move(state->received.response);
}

std::string HTTPSession::escapePathSegment(std::string_view text)
{
    // "." and ".." would be read as steps through the path rather than as a name.
    if (text == "." || text == "..")
        return text == "." ? "%2E" : "%2E%2E";
    return percentEscaped(text, "!$&'()*+,;=:@");
}

std::string HTTPSession::escapeQueryValue(std::string_view text) { return percentEscaped(text, "!$'()*,;:@/?"); }

} // namespace larkpin
