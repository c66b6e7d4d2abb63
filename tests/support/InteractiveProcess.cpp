#include "support/InteractiveProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace larkpin::test {

InteractiveProcess::InteractiveProcess(const std::vector<std::string>& argv) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::vector<char*> arguments;
    for (const auto& argument : argv)
        arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const int status = ::posix_spawn(&pid_, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    if (status != 0)
        throw std::runtime_error("cannot start " + argv.front());
}

InteractiveProcess::~InteractiveProcess() {
    ::close(input_);
    ::close(output_);
    // A polite end first: a browser takes its helper processes down with it.
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);
    for (int round = 0; round < 300; ++round) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
            return;
        ::usleep(10'000);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

void InteractiveProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(input_, text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += static_cast<std::size_t>(count);
    }
}

std::optional<std::string> InteractiveProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count <= 0)
            return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::optional<std::string> InteractiveProcess::ask(const std::string& line, const std::string& prefix,
                                                   std::chrono::milliseconds timeout) {
    writeLine(line);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        auto answer = readLine(left);
        if (!answer)
            return std::nullopt;
        if (answer->rfind(prefix, 0) == 0)
            return answer;
    }
    return std::nullopt;
}

void InteractiveProcess::signal(int number) {
    ::kill(pid_, number);
}

} // namespace larkpin::test
