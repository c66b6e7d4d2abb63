// Throughput of OTPExtractor::extract on the four workloads that matter: short service texts,
// ordinary HTML e-mails, a 200,000-character prose body and a 200,000-character body made only of
// digit groups. Ends with one summary line for scripts and notes.

#include "core/extraction/OTPExtractor.h"

#include <benchmark/benchmark.h>

#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using larkpin::EmailContent;
using larkpin::OTPExtractor;

EmailContent content(std::string subject, std::string plainText, std::string htmlText = {})
{
    return {.subject = std::move(subject),
            .sender = "\"Acme Accounts\" <no-reply@accounts.acme.example>",
            .plainText = std::move(plainText),
            .htmlText = std::move(htmlText),
            .receivedAt = larkpin::timePointFromSecondsSince1970(1'717'200'000),
            .messageID = "18f2c3d4e5a6b7c8",
            .accountEmail = "me@example.com"};
}

/// Texts as services send them: 40 to 200 characters, empty subject, plain body.
std::vector<EmailContent> shortMessages()
{
    const std::vector<std::string> texts{
        "Your Uber code is 4821. Never share this code.",
        "G-482913 is your Google verification code.",
        "Your WhatsApp code: 123-456. Don't share this code with others.",
        "Use 731904 to verify your Acme account. It expires in 10 minutes.",
        "Your verification code is 552 190. Do not share it with anyone, including Acme staff.",
        "Amazon: Your one-time password is 582046. Don't share it. It expires in 5 minutes.",
        "Your PayPal security code is 229104. Your code expires in 10 minutes. Don't share your code.",
        "123 456 is your Instagram code. Don't share it.",
        "Your Discord verification code is 88812390",
        "Tu código de verificación es 639201. Caduca en 5 minutos.",
        "Ihr Bestätigungscode lautet 417093. Gültig für 30 Minuten.",
        "Votre code de vérification est 847362. Il expire dans 20 minutes.",
        "[Acme] Your login code: X7K9PQ. Valid for 5 minutes. If you did not request it, ignore this message.",
        "Your package 58213 is out for delivery today. Track it at acme.example/t/58213",
        "Your appointment on 06/15/2024 at 3:30 PM is confirmed. Call (415) 555-2671 to reschedule.",
        "FB-48213 is your Facebook confirmation code",
        "Netflix: your sign-in code is 3391. It expires in 15 minutes.",
        "Your bank one-time code is 204918. If you didn't request this, call 1-800-555-0142.",
    };
    std::vector<EmailContent> messages;
    for (const auto& text : texts)
        messages.push_back(content("", text));
    return messages;
}

/// An HTML e-mail of about 5 KB: layout tables, styles, a footer, and a code in the middle.
std::string emailHTML(const std::string& code)
{
    std::string html =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><style>body{font-family:Helvetica,Arial,sans-serif;"
        "color:#222}.btn{background:#1a73e8;color:#fff;padding:12px 24px;border-radius:4px}.code{font-size:32px;"
        "letter-spacing:6px;font-weight:bold}.muted{color:#777;font-size:12px}</style></head><body>"
        "<table role=\"presentation\" width=\"100%\" cellpadding=\"0\" cellspacing=\"0\"><tr><td align=\"center\">"
        "<table width=\"600\" cellpadding=\"0\" cellspacing=\"0\"><tr><td style=\"padding:24px\">"
        "<img src=\"https://cdn.acme.example/logo.png\" width=\"120\" height=\"40\" alt=\"Acme\"></td></tr>";
    html += "<tr><td style=\"padding:0 24px\"><h1 style=\"font-size:22px\">Confirm it&#8217;s you</h1>"
            "<p>Hi Jane,</p><p>We received a request to sign in to your Acme account from a new device. To finish "
            "signing in, enter the verification code below on the sign-in page. For your security, never share "
            "this code with anyone &mdash; Acme staff will never ask you for it.</p></td></tr>"
            "<tr><td align=\"center\" style=\"padding:24px\"><div class=\"code\">" +
            code +
            "</div><p class=\"muted\">This code expires in 10 minutes.</p></td></tr>";
    for (int paragraph = 0; paragraph < 6; ++paragraph)
        html += "<tr><td style=\"padding:8px 24px\"><p>If you didn&#8217;t try to sign in, we recommend that you "
                "change your password right away and review the devices that are signed in to your account. You "
                "can manage your security settings at any time from your account page.</p></td></tr>";
    html += "<tr><td style=\"padding:24px\"><a class=\"btn\" href=\"https://acme.example/account/security?utm_source="
            "email&amp;utm_medium=otp\">Review activity</a></td></tr>"
            "<tr><td class=\"muted\" style=\"padding:24px\">&copy; 2024 Acme, Inc. 1600 Example Parkway, Mountain "
            "View, CA 94043. Questions? Call us at +1 (650) 555-0100.<br>You received this email because it is "
            "required to keep your account secure. <a href=\"https://acme.example/unsubscribe\">Preferences</a>"
            "</td></tr></table></td></tr></table></body></html>";
    while (html.size() < 5000)
        html += "<p class=\"muted\">Acme Accounts &middot; Privacy &middot; Terms &middot; Help Center</p>";
    return html;
}

std::vector<EmailContent> emails()
{
    std::vector<EmailContent> messages;
    for (const std::string code : {"482913", "731 904", "X7K9PQ", "55-21-90"})
        messages.push_back(content("Your Acme verification code", "", emailHTML(code)));
    return messages;
}

/// 200,000 characters of ordinary prose in HTML paragraphs, with one code in the middle.
EmailContent longProse()
{
    const std::vector<std::string> sentences{
        "The committee met on Tuesday to review the plans for the new library wing. ",
        "Several members asked whether the budget could be stretched to include a reading garden. ",
        "After a long discussion, the chair proposed that the matter be taken up again next month. ",
        "Volunteers will be needed for the spring fair, and anyone interested should reply by Friday. ",
        "The minutes of the previous meeting were approved without changes. ",
        "Refreshments were provided by the bakery on Main Street, whose support is much appreciated. ",
    };
    std::size_t next = 0;
    const auto paragraph = [&sentences](std::size_t& index) {
        std::string text = "<p>" + sentences[index % sentences.size()];
        text += sentences[(index + 1) % sentences.size()] + "</p>\n";
        index += 2;
        return text;
    };
    std::string html = "<html><body>";
    while (html.size() < 100'000)
        html += paragraph(next);
    html += "<p>Your verification code is <b>918273</b>.</p>\n";
    while (html.size() < 200'000 - 300)
        html += paragraph(next);
    html += "</body></html>";
    html.resize(200'000 - 14);
    html += "</body></html>";
    return content("Meeting notes", "", html);
}

/// 200,000 characters of nothing but digit groups and spaces: a numeric table or a bank statement.
EmailContent digitGroups()
{
    std::mt19937 random(42);
    std::string body;
    while (body.size() < 200'000) {
        const int digits = 1 + static_cast<int>(random() % 8);
        for (int k = 0; k < digits; ++k)
            body.push_back(static_cast<char>('0' + random() % 10));
        body.push_back(' ');
    }
    body.resize(200'000);
    return content("", body);
}

void runOn(benchmark::State& state, const std::vector<EmailContent>& messages)
{
    const OTPExtractor extractor(600);
    for (auto _ : state)
        for (const auto& message : messages)
            benchmark::DoNotOptimize(extractor.extract(message));
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(messages.size()), benchmark::Counter::kIsIterationInvariantRate);
}

void shortMsgs(benchmark::State& state) { runOn(state, shortMessages()); }
void emailMsgs(benchmark::State& state) { runOn(state, emails()); }
void prose200k(benchmark::State& state) { runOn(state, {longProse()}); }
void worst200k(benchmark::State& state) { runOn(state, {digitGroups()}); }

BENCHMARK(shortMsgs)->Name("extract/short-msgs")->Unit(benchmark::kMicrosecond);
BENCHMARK(emailMsgs)->Name("extract/email-msgs")->Unit(benchmark::kMicrosecond);
BENCHMARK(prose200k)->Name("extract/prose-200k")->Unit(benchmark::kMillisecond);
BENCHMARK(worst200k)->Name("extract/worst-200k")->Unit(benchmark::kMillisecond);

/// The console output, plus the figures the summary line needs.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const auto rate = run.counters.find("msgs_per_s");
            figures[run.benchmark_name()] = {rate == run.counters.end() ? 0.0 : rate->second.value,
                                             run.GetAdjustedRealTime()};
        }
    }
    struct Figures {
        double messagesPerSecond;
        double realTimePerIteration; ///< in the benchmark's unit
    };
    std::map<std::string, Figures> figures;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto figure = [&reporter](const std::string& name) {
        const auto found = reporter.figures.find(name);
        return found == reporter.figures.end() ? SummaryReporter::Figures{0, 0} : found->second;
    };
    std::cout << "extract short-msgs-per-s: " << static_cast<long long>(figure("extract/short-msgs").messagesPerSecond)
              << " email-msgs-per-s: " << static_cast<long long>(figure("extract/email-msgs").messagesPerSecond)
              << " prose-200k-ms: " << figure("extract/prose-200k").realTimePerIteration
              << " worst-200k-ms: " << figure("extract/worst-200k").realTimePerIteration << std::endl;
}
