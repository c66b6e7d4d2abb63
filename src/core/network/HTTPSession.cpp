#include "core/network/HTTPSession.h"

#include <curl/curl.h>

#include <array>
#include <cctype>

namespace larkpin {
namespace {

struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct HeaderListCleanup {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, HeaderListCleanup>;

struct Transfer {
    HTTPSession::Response response;
    bool tooLarge = false;
};

size_t collectBody(char* data, size_t size, size_t count, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t bytes = size * count;
    if (transfer.response.body.size() + bytes > HTTPSession::maximumBodyBytes) {
        transfer.tooLarge = true;
        return 0; // makes libcurl abort the transfer
    }
    transfer.response.body.append(data, bytes);
    return bytes;
}

size_t collectHeader(char* data, size_t size, size_t count, void* context)
{
    auto& headers = static_cast<Transfer*>(context)->response.headers;
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

/// The libcurl share object holding the connection pool, DNS cache and TLS sessions, with the
/// locks libcurl asks for, plus idle easy handles kept for reuse.
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

    EasyHandle acquire()
    {
        {
            const std::lock_guard guard(idleMutex);
            if (!idle.empty()) {
                EasyHandle handle = std::move(idle.back());
                idle.pop_back();
                return handle;
            }
        }
        return EasyHandle(curl_easy_init());
    }
    void giveBack(EasyHandle handle)
    {
        // Forget the finished request's options: they point at buffers that are about to go away.
        curl_easy_reset(handle.get());
        const std::lock_guard guard(idleMutex);
        idle.push_back(std::move(handle));
    }

    static constexpr std::size_t lockCount = CURL_LOCK_DATA_LAST;
    CURLSH* share = nullptr;
    std::array<std::mutex, lockCount> locks;
    std::mutex idleMutex;
    std::vector<EasyHandle> idle;
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

HTTPSession::Response HTTPSession::send(const Request& request) const
{
    EasyHandle handle = shared_->acquire();
    if (!handle)
        throw TransportError("Could not start a network request.");
    CURL* curl = handle.get();

    HeaderList headers;
    for (const auto& [name, value] : request.headers) {
        curl_slist* appended = curl_slist_append(headers.get(), (name + ": " + value).c_str());
        if (appended == nullptr)
            throw TransportError("Could not start a network request.");
        headers.release();
        headers.reset(appended);
    }

    Transfer transfer;
    std::array<char, CURL_ERROR_SIZE> errorText{};
    curl_easy_setopt(curl, CURLOPT_SHARE, shared_->share);
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L); // timeouts must not raise signals in a threaded program
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText.data());
    if (request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        const std::string& body = request.body ? *request.body : std::string();
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
    } else if (request.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        // The handle goes back to the pool either way; its connection, if broken, is not reused.
        shared_->giveBack(std::move(handle));
        if (transfer.tooLarge)
            throw TransportError("The server's answer is larger than " + std::to_string(maximumBodyBytes / (1024 * 1024))
                                 + " MiB.");
        throw TransportError(std::string("Network error: ") + (errorText[0] != '\0' ? errorText.data() : curl_easy_strerror(result)));
    }
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
    shared_->giveBack(std::move(handle));
    return std::move(transfer.response);
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
