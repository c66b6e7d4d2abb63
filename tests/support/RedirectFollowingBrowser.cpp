// A stand-in browser for the consent flow, launched through a desktop entry: it loads the URL, and
// where the page redirects, goes there, as a browser would after the user chose Allow or Deny.
//   larkpin-test-browser [--mode=follow|idle|tamper-state] URL
// idle: shows the consent page and goes no further (the user never answers). tamper-state: changes
// the redirect's state value.

#include <curl/curl.h>

#include <cstring>
#include <string>

namespace {

/// Loads the URL without following redirects; returns where it redirects to, if anywhere.
std::string load(const std::string& url)
{
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    const auto discard = +[](char*, size_t size, size_t count, void*) { return size * count; };
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    char* redirect = nullptr;
    const bool redirected = curl_easy_perform(curl) == CURLE_OK &&
                            curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect;
    const std::string location = redirected ? redirect : "";
    curl_easy_cleanup(curl);
    return location;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = "follow";
    std::string url;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--mode=", 7) == 0)
            mode = argv[i] + 7;
        else
            url = argv[i];
    }
    if (url.empty())
        return 0;
    std::string next = load(url);
    if (mode == "idle")
        return 0;
    if (next.empty())
        return 1;
    if (mode == "tamper-state") {
        const auto state = next.find("state=");
        if (state != std::string::npos)
            next.insert(state + 6, "x");
    }
    load(next);
    return 0;
}
