#include "support/ChildProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace larkpin::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> environmentText(const ChildProcess::Environment& environment)
{
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (const auto equals = text.find('='); equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& name : environment.unset)
        variables.erase(name);
    for (const auto& [name, value] : environment.set)
        variables[name] = value;
    std::vector<std::string> text;
    for (const auto& [name, value] : variables)
        text.push_back(name + "=" + value);
    return text;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (auto& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

std::pair<FileDescriptor, FileDescriptor> makePipe()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    return {FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Environment& environment, bool captureErrors)
{
    std::vector<std::string> argText(argv);
    std::vector<std::string> envText = environmentText(environment);
    const auto args = pointers(argText);
    const auto envp = pointers(envText);
    auto [childInput, inputEnd] = makePipe();
    auto [outputEnd, childOutput] = makePipe();
    std::pair<FileDescriptor, FileDescriptor> errorPipe;
    if (captureErrors)
        errorPipe = makePipe();

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + argv.front());
    if (pid_ == 0) {
        // Only async-signal-safe calls between fork and exec. No child may outlive a test process
        // that crashes or is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(childInput.get(), STDIN_FILENO);
        ::dup2(childOutput.get(), STDOUT_FILENO);
        if (captureErrors)
            ::dup2(errorPipe.second.get(), STDERR_FILENO);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    input_ = std::move(inputEnd);
    output_ = std::move(outputEnd);
    errors_ = std::move(errorPipe.first);
}

ChildProcess::~ChildProcess() { stop(); }

ProcessResult ChildProcess::run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set,
                                const std::vector<std::string>& unset)
{
    ChildProcess child(argv, {set, unset}, true);
    child.input_.reset();
    ProcessResult result;
    pollfd fds[2] = {{child.output_.get(), POLLIN, 0}, {child.errors_.get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const auto n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.status = child.wait();
    return result;
}

void ChildProcess::writeLine(const std::string& line)
{
    const std::string text = line + "\n";
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t count = ::write(input_.get(), text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        written += static_cast<std::size_t>(count);
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd ready{output_.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t count = ::read(output_.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return std::nullopt;
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

std::optional<std::string> ChildProcess::ask(const std::string& line, const std::string& prefix,
                                             std::chrono::milliseconds timeout)
{
    writeLine(line);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        auto answer = left.count() > 0 ? readLine(left) : std::nullopt;
        if (!answer || answer->starts_with(prefix))
            return answer;
    }
}

void ChildProcess::signal(int number)
{
    if (!status_)
        ::kill(pid_, number);
}

int ChildProcess::wait()
{
    if (!status_) {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = exitStatus(status);
    }
    return *status_;
}

int ChildProcess::stop(std::chrono::milliseconds grace)
{
    if (status_)
        return *status_;
    input_.reset();
    // A polite end first: a browser takes its helper processes down with it, the emulator closes
    // its sockets. SIGCONT wakes a child a test stopped.
    ::kill(pid_, SIGTERM);
    ::kill(pid_, SIGCONT);
    const auto deadline = std::chrono::steady_clock::now() + grace;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    status_ = exitStatus(status);
    return *status_;
}

} // namespace larkpin::test
