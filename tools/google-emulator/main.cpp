// larkpin-google-emulator: see EmulatorServer.cpp for the endpoints, README.md for its use.

#include "BadRequest.h"
#include "EmulatorServer.h"
#include "GmailState.h"
#include "NewMessage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace larkpin::emulator;

const char* const usage = R"(Usage: larkpin-google-emulator [options]

Serves Gmail's read-only API and a control API on 127.0.0.1. The first line of standard output is
the base URL, for example http://127.0.0.1:40123; SIGTERM or SIGINT stops it.

  --port N                 listen on port N (default 0: the system chooses a free port)
  --mailbox EMAIL=TOKEN    add a mailbox opened by the bearer token TOKEN (repeatable)
  --messages DIR           inject every DIR/*.json message file (into the first mailbox by default)
  --history-page-size N    history records per page (default 100)
  --drip SECONDS           add a new code message to the first mailbox every SECONDS (for demos)
  --log                    write one line per request to standard error
  --help                   show this text
)";

struct Arguments {
    int port = 0;
    std::vector<std::pair<std::string, std::string>> mailboxes;
    std::optional<std::filesystem::path> messages;
    std::optional<int> historyPageSize;
    std::optional<int> dripSeconds;
    bool log = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

int number(const std::string& text, int minimum, int maximum, const std::string& option) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum ||
        value > maximum)
        throw UsageError(option + " needs a number from " + std::to_string(minimum) + " to " +
                         std::to_string(maximum));
    return value;
}

Arguments parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--help") {
            std::fputs(usage, stdout);
            std::exit(0);
        }
        if (option == "--log") {
            arguments.log = true;
            continue;
        }
        if (option != "--port" && option != "--mailbox" && option != "--messages" &&
            option != "--history-page-size" && option != "--drip")
            throw UsageError("unknown option " + option);
        if (i + 1 == argc)
            throw UsageError(option + " needs a value");
        const std::string value = argv[++i];
        if (option == "--port") {
            arguments.port = number(value, 0, 65535, option);
        } else if (option == "--history-page-size") {
            arguments.historyPageSize = number(value, 1, 500, option);
        } else if (option == "--drip") {
            arguments.dripSeconds = number(value, 1, 86400, option);
        } else if (option == "--messages") {
            arguments.messages = value;
        } else {
            const auto equals = value.find('=');
            if (equals == std::string::npos)
                throw UsageError("--mailbox needs EMAIL=TOKEN");
            arguments.mailboxes.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        }
    }
    return arguments;
}

void loadMessages(GmailState& state, const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == ".json")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    for (const auto& file : files) {
        try {
            std::ifstream stream(file);
            state.addMessage(NewMessage::fromJSON(nlohmann::json::parse(stream)), now);
        } catch (const std::exception& error) {
            throw UsageError(file.string() + ": " + error.what());
        }
    }
}

/// The drip's next message: a fresh random six-digit code from one of a few senders in turn.
NewMessage dripMessage(std::size_t index, std::mt19937& random) {
    struct Sender {
        const char* from;
        const char* subject;
        const char* text; ///< %s is the code
    };
    static constexpr Sender senders[] = {
        {"Acme Cloud <no-reply@accounts.acmecloud.example>", "Your Acme Cloud sign-in code",
         "Use this code to finish signing in to Acme Cloud: %s\n\nIt expires in 10 minutes."},
        {"Northwind Bank <security@alerts.northwindbank.example>", "Verification code for your payment",
         "To confirm your payment, enter the verification code %s. Never share it with anyone."},
        {"Fabrikam Travel <noreply@fabrikam-travel.example>", "Your Fabrikam Travel login code",
         "Your login code is %s. It is valid for 15 minutes."},
        {"Tailspin Games <account@tailspin-games.example>", "Confirm your new device",
         "Someone is signing in on a new device. If it is you, enter the code %s to confirm."},
    };
    const auto& sender = senders[index % std::size(senders)];
    char code[8];
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(random() % 1000000));
    char text[256];
    std::snprintf(text, sizeof text, sender.text, code);
    NewMessage message;
    message.from = sender.from;
    message.subject = sender.subject;
    message.plain = text;
    return message;
}

} // namespace

int main(int argc, char** argv) {
    // Signals are taken by one waiting thread, so they must stay blocked in every thread, including
    // the server's workers, which inherit this mask. A client hanging up must not end the process.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::optional<EmulatorServer> server;
    int port = 0;
    std::optional<int> dripSeconds;
    try {
        const Arguments arguments = parse(argc, argv);
        GmailState state;
        for (const auto& [email, token] : arguments.mailboxes)
            state.addMailbox(email, token);
        if (arguments.historyPageSize)
            state.setHistoryPageSize(static_cast<std::size_t>(*arguments.historyPageSize));
        if (arguments.messages)
            loadMessages(state, *arguments.messages);
        if (arguments.dripSeconds && arguments.mailboxes.empty())
            throw UsageError("--drip needs a --mailbox to drip into");
        dripSeconds = arguments.dripSeconds;
        server.emplace(std::move(state), EmulatorServer::Options{arguments.log});
        port = server->bind(arguments.port);
    } catch (const std::exception& error) {
        std::cerr << "larkpin-google-emulator: " << error.what() << "\n";
        if (dynamic_cast<const UsageError*>(&error) != nullptr)
            std::cerr << "Try --help.\n";
        return 2;
    }

    // The port is listening already, so whoever reads this line may connect at once.
    std::printf("http://127.0.0.1:%d\n", port);
    std::fflush(stdout);

    std::atomic<bool> signalled = false;
    std::mutex dripMutex;
    std::condition_variable dripStopped;
    bool stopping = false;
    std::thread waiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        signalled = true;
        {
            std::lock_guard lock(dripMutex);
            stopping = true;
        }
        dripStopped.notify_all();
        server->stop();
    });
    std::thread drip;
    if (dripSeconds)
        drip = std::thread([&, interval = std::chrono::seconds(*dripSeconds)] {
            std::mt19937 random(std::random_device{}());
            std::unique_lock lock(dripMutex);
            for (std::size_t index = 0; !dripStopped.wait_for(lock, interval, [&] { return stopping; });
                 ++index)
                server->addMessage(dripMessage(index, random));
        });
    const bool served = server->serve();
    if (!signalled)
        ::kill(::getpid(), SIGTERM); // releases the waiter when serving ended on its own
    waiter.join();
    if (drip.joinable())
        drip.join();
    return served ? 0 : 1;
}
