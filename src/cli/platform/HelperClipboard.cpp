#include "cli/platform/HelperClipboard.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace larkpin {
namespace {

/// Closes a file descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

/// Owns posix_spawn's file actions.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

bool sendAll(int fd, const std::string& text)
{
    std::size_t sent = 0;
    while (sent < text.size()) {
        // MSG_NOSIGNAL: a helper that dies early must not take this process down with SIGPIPE.
        const auto written = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        sent += static_cast<std::size_t>(written);
    }
    return true;
}

/// Waits for the helper to exit; one that outlives the timeout is killed and counts as failed.
bool exitedCleanly(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (result < 0 && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace

HelperClipboard::HelperClipboard(std::vector<Command> helpers, std::chrono::milliseconds timeout)
    : helpers_(std::move(helpers))
    , timeout_(timeout)
{
}

HelperClipboard HelperClipboard::forSession(const char* waylandDisplay, const char* display)
{
    std::vector<Command> helpers;
    if (waylandDisplay != nullptr && waylandDisplay[0] != '\0')
        helpers.push_back({"wl-copy"});
    if (display != nullptr && display[0] != '\0') {
        helpers.push_back({"xclip", "-selection", "clipboard"});
        helpers.push_back({"xsel", "--clipboard", "--input"});
    }
    return HelperClipboard(std::move(helpers));
}

bool HelperClipboard::writeText(const std::string& text) const
{
    for (const auto& helper : helpers_)
        if (writeWith(helper, text))
            return true;
    return false;
}

bool HelperClipboard::writeWith(const Command& helper, const std::string& text) const
{
    if (helper.empty())
        return false;
    // A socket rather than a pipe, so that sending to a helper that has gone never raises SIGPIPE.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return false;
    Descriptor ours(ends[0]);
    Descriptor theirs(ends[1]);

    // The helpers fork a process that keeps serving the selection; it must not hold on to our
    // standard output or error, or whoever reads them would wait for it.
    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), theirs.get(), STDIN_FILENO);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<char*> argv;
    for (const auto& argument : helper)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], actions.get(), nullptr, argv.data(), environ) != 0)
        return false;
    theirs.reset();
    const bool sent = sendAll(ours.get(), text);
    ours.reset();
    return exitedCleanly(pid, timeout_) && sent;
}

} // namespace larkpin
