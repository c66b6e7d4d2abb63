// A bounded resync of 50 messages (each with a code, HTML and plain parts of a few kilobytes)
// against a local Google emulator, compared with the floor: the same 52 GET requests made one after
// another by one kept-alive libcurl handle, with no processing at all.
//
//   larkpin-sync-bench [runs]
// Ends with: sync resync50-ms: T connections: C ratio-to-floor: R

#include "core/extraction/OTPExtractor.h"
#include "core/services/GmailSyncEngine.h"
#include "support/GoogleEmulator.h"
#include "support/TemporaryFolder.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>

namespace {

using namespace larkpin;
using Stopwatch = std::chrono::steady_clock;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const auto middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double milliseconds(Stopwatch::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

std::string filler(const std::string& word, std::size_t bytes)
{
    std::string text;
    while (text.size() < bytes)
        text += word + " ";
    return text;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

/// The 52 requests of a resync, bare: one handle, one connection, nothing decoded.
double floorRun(const std::string& gmail, const std::vector<std::string>& ids)
{
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Authorization: Bearer token-1");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
    const auto start = Stopwatch::now();
    const auto get = [&](const std::string& url) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        if (curl_easy_perform(curl) != CURLE_OK)
            throw std::runtime_error("floor request failed: " + url);
    };
    get(gmail + "/profile");
    get(gmail + "/messages?maxResults=50&q=newer_than:1d");
    for (const auto& id : ids)
        get(gmail + "/messages/" + id + "?format=full");
    const auto elapsed = milliseconds(Stopwatch::now() - start);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    test::GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH);
    emulator.addMailbox("me@example.com", "token-1");
    std::vector<std::string> ids;
    std::set<std::string> codes;
    for (int i = 0; i < 50; ++i) {
        const auto code = std::to_string(100000 + i * 7919 % 900000);
        codes.insert(code);
        // Letters only: a name with a digit next to "code" in the subject would itself pass for one.
        const auto service = std::string("Service") + static_cast<char>('A' + i % 26) + static_cast<char>('a' + i / 26);
        const auto plain = "Hello,\n\nYour " + service + " verification code is " + code
                           + ". It expires in 10 minutes.\n\n" + filler("Lorem ipsum dolor sit amet.", 2000);
        const auto html = "<html><body><table><tr><td><p>Your " + service + " verification code is</p><h1>" + code
                          + "</h1><p>" + filler("Lorem ipsum dolor sit amet.", 3000) + "</p></td></tr></table></body></html>";
        ids.push_back(emulator.addMessage({.from = service + " <no-reply@" + service + ".example>",
                                           .subject = service + " sign-in code",
                                           .plain = plain,
                                           .html = html,
                                           .structure = "alternative",
                                           .age = 60.0 + i}));
    }
    std::vector<std::string> listed = ids;
    std::reverse(listed.begin(), listed.end()); // newest first, as the listing gives them

    std::vector<double> syncTimes;
    std::vector<double> floorTimes;
    std::uint64_t connections = 0;
    for (int run = 0; run < runs; ++run) {
        floorTimes.push_back(floorRun(emulator.gmailBaseURL(), listed));

        test::TemporaryFolder folder;
        LocalStore store(folder.path() / "larkpin.sqlite");
        GmailSyncEngine engine(store, OTPExtractor(600));
        const GmailAPIClient client(std::make_shared<HTTPSession>(), emulator.gmailBaseURL(),
                                    [] { return std::string("token-1"); });
        emulator.resetCounters();
        const auto start = Stopwatch::now();
        const auto result = engine.sync(GmailAccount{.id = "subject-1", .email = "me@example.com"}, client);
        syncTimes.push_back(milliseconds(Stopwatch::now() - start));
        connections = std::max(connections, emulator.counters().connections);
        std::set<std::string> found;
        for (const auto& stored : store.recentCodes(100))
            found.insert(stored.value);
        if (result.fetchedMessages != 50 || result.newCodes != 50 || found != codes) {
            std::cerr << "sync handled " << result.fetchedMessages << " messages and found " << result.newCodes
                      << " codes, " << found.size() << " of them distinct\n";
            return 1;
        }
    }

    const double sync = median(syncTimes);
    const double floor = median(floorTimes);
    // The machine's pace drifts from run to run; the ratio of each run to the floor measured just
    // before it shows how much of the spread is drift.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < syncTimes.size(); ++i)
        ratios.push_back(syncTimes[i] / floorTimes[i]);
    std::printf("bounded resync of 50 messages, median of %d runs: sync %.2f ms, floor (52 bare GETs) %.2f ms, "
                "median of the runs' own ratios %.2f\n",
                runs, sync, floor, median(ratios));
    std::printf("sync resync50-ms: %.2f connections: %llu ratio-to-floor: %.2f\n", sync,
                static_cast<unsigned long long>(connections), sync / floor);
    return 0;
}
