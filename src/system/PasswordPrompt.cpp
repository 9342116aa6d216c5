#include "system/PasswordPrompt.hpp"

#include <cerrno>
#include <csignal>
#include <iterator>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "base/Localization.hpp"
#include "base/PrintableText.hpp"
#include "system/UniqueFd.hpp"

namespace vt {

namespace {

// What the signal handler needs: plain globals, set while a prompt is open.
int gTerminal = -1;
int gWake = -1;
termios gSaved{};
volatile std::sig_atomic_t gSignal = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kMaxPasswordBytes = 1024;

extern "C" void onPromptSignal(int signal) {
    const int saved = errno;
    ::tcsetattr(gTerminal, TCSANOW, &gSaved);
    gSignal = signal;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = ::write(gWake, &byte, 1);
    errno = saved;
}

void writeText(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The terminal as it was and the handlers before ours, put back when the prompt ends
// whichever way it ends.
class PromptSession {
public:
    PromptSession(int terminal, int wake, const termios& saved) {
        gTerminal = terminal;
        gWake = wake;
        gSaved = saved;
        gSignal = 0;
        struct sigaction action {};
        action.sa_handler = onPromptSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &action, &previous_[i]);
    }
    ~PromptSession() {
        ::tcsetattr(gTerminal, TCSAFLUSH, &gSaved);
        writeText(gTerminal, "\n");
        for (std::size_t i = 0; i < std::size(kSignals); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
        const int caught = gSignal;
        gTerminal = -1;
        gWake = -1;
        // The signal meant something to the program too: it gets it now, as it was set to.
        if (caught != 0) ::raise(caught);
    }
    PromptSession(const PromptSession&) = delete;
    PromptSession& operator=(const PromptSession&) = delete;

private:
    struct sigaction previous_[std::size(kSignals)] {};
};

// Reads key by key until Enter; nothing when the prompt was cancelled.
bool readPassword(int terminal, int wake, const termios& saved, TypedPassword& typed) {
    while (true) {
        pollfd watched[2] = {{terminal, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (watched[1].revents != 0 || gSignal != 0) return false;
        char c = 0;
        const ssize_t n = ::read(terminal, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        const auto key = static_cast<cc_t>(c);
        if (c == '\n' || c == '\r') return true;
        if (key == saved.c_cc[VINTR] || c == '\x03') return false;
        if (key == saved.c_cc[VEOF] || c == '\x04') {
            if (typed.empty()) return false;
        } else if (key == saved.c_cc[VERASE] || c == '\x7f' || c == '\b') {
            typed.eraseLast();
        } else if (key == saved.c_cc[VKILL]) {
            typed.clear();
        } else {
            typed.add(std::string_view(&c, 1));
        }
    }
}

std::mutex gAskerMutex;
PasswordAsker gAsker;  // empty: the terminal

}  // namespace

std::optional<std::string> askPassword(const std::string& prompt) {
    PasswordAsker asker;
    {
        std::scoped_lock lock(gAskerMutex);
        asker = gAsker;
    }
    return asker ? asker(prompt) : askPasswordOnTerminal(prompt);
}

ScopedPasswordAsker::ScopedPasswordAsker(PasswordAsker asker) {
    std::scoped_lock lock(gAskerMutex);
    previous_ = std::exchange(gAsker, std::move(asker));
}

ScopedPasswordAsker::~ScopedPasswordAsker() {
    std::scoped_lock lock(gAskerMutex);
    gAsker = std::move(previous_);
}

void wipe(std::string& secret) noexcept {
    volatile char* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = '\0';
}

TypedPassword::TypedPassword() { typed_.reserve(kMaxPasswordBytes + 1); }

TypedPassword::~TypedPassword() { clear(); }

void TypedPassword::add(std::string_view bytes) {
    if (typed_.size() + bytes.size() <= kMaxPasswordBytes) typed_.append(bytes);
}

void TypedPassword::eraseLast() {
    while (!typed_.empty()) {
        const auto c = static_cast<unsigned char>(typed_.back());
        typed_.back() = '\0';
        typed_.pop_back();
        if ((c & 0xC0) != 0x80) return;
    }
}

void TypedPassword::clear() {
    wipe(typed_);
    typed_.clear();
}

std::string TypedPassword::take() {
    std::string password;
    password.reserve(typed_.size() + 1);
    password.assign(typed_);
    clear();
    return password;
}

std::optional<std::string> askPasswordOnTerminal(const std::string& prompt) {
    static std::mutex oneAtATime;
    std::scoped_lock lock(oneAtATime);
    UniqueFd terminal(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!terminal) return std::nullopt;
    termios saved{};
    if (::tcgetattr(terminal.get(), &saved) != 0) return std::nullopt;
    int wakePipe[2] = {-1, -1};
    if (::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) return std::nullopt;
    UniqueFd wakeRead(wakePipe[0]);
    UniqueFd wakeWrite(wakePipe[1]);

    std::string question = printableText(prompt);
    question += "\n";
    question += localized("admin.password_prompt");
    writeText(terminal.get(), question);

    TypedPassword typed;
    bool entered = false;
    {
        PromptSession session(terminal.get(), wakeWrite.get(), saved);
        // Keys come one at a time, unseen, and Ctrl-C is a key we read rather than a signal.
        termios hidden = saved;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG);
        hidden.c_cc[VMIN] = 1;
        hidden.c_cc[VTIME] = 0;
        if (::tcsetattr(terminal.get(), TCSAFLUSH, &hidden) == 0) {
            entered = readPassword(terminal.get(), wakeRead.get(), saved, typed);
        }
    }
    if (!entered || typed.empty()) return std::nullopt;
    return typed.take();
}

}  // namespace vt
