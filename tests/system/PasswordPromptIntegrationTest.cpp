#include "system/PasswordPrompt.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "support/Eventually.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal whose slave becomes the controlling terminal of a child that asks for a
// password; the test types on the master side, as a person would.
class PromptOnTerminal {
public:
    PromptOnTerminal() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        slaveName_ = ::ptsname(master_);
        observer_ = ::open(slaveName_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int answer[2];
        if (::pipe2(answer, O_CLOEXEC) != 0) return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(answer[0]);
            ::setsid();
            const int terminal = ::open(slaveName_.c_str(), O_RDWR);  // becomes the controlling terminal
            if (terminal < 0) ::_exit(3);
            std::optional<std::string> password = askPasswordOnTerminal("Van Treel needs \x1b]0;TITLE\x07rights");
            const std::string reply = password ? "typed:" + *password : "cancelled";
            [[maybe_unused]] ssize_t written = ::write(answer[1], reply.data(), reply.size());
            ::_exit(0);
        }
        ::close(answer[1]);
        answer_ = answer[0];
    }
    ~PromptOnTerminal() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            ::waitpid(child_, nullptr, 0);
        }
        for (int fd : {master_, observer_, answer_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    // The child's terminal as it is now.
    termios settings() const {
        termios now{};
        ::tcgetattr(observer_, &now);
        return now;
    }
    // Whether the prompt runs and has hidden the keys: typing is only safe once it has, as the
    // switch flushes pending input.
    bool ready() const {
        return child_ > 0 && observer_ >= 0 && testing::eventually([&] { return (settings().c_lflag & ECHO) == 0; });
    }
    void type(const std::string& keys) const {
        [[maybe_unused]] ssize_t written = ::write(master_, keys.data(), keys.size());
    }
    void signal(int number) const { ::kill(child_, number); }

    // How the child ended (the raw wait status), within ten seconds.
    std::optional<int> waitForChild() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (::waitpid(child_, &status, WNOHANG) == child_) {
                child_ = -1;
                return status;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }
    std::string answer() const {
        std::string text;
        char buffer[256];
        ssize_t n = 0;
        while ((n = ::read(answer_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    // Everything the child wrote on its terminal so far.
    std::string screen() const {
        std::string text;
        char buffer[256];
        pollfd readable{master_, POLLIN, 0};
        while (::poll(&readable, 1, 50) > 0) {
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    int master_ = -1;
    int observer_ = -1;
    int answer_ = -1;
    pid_t child_ = -1;
    std::string slaveName_;
};

bool restored(const termios& settings) {
    return (settings.c_lflag & ECHO) != 0 && (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ISIG) != 0;
}

TEST(PasswordPromptIntegrationTest, EnterGivesThePasswordUnseenAndCorrected) {
    PromptOnTerminal prompt;
    ASSERT_TRUE(prompt.ready());
    prompt.type("s3cr\x7fret\r");
    std::optional<int> status = prompt.waitForChild();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(prompt.answer(), "typed:s3cret");
    const std::string screen = prompt.screen();
    EXPECT_EQ(screen.find("s3c"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('\x1b'), std::string::npos) << screen;  // the reason is outside text
    EXPECT_NE(screen.find("rights"), std::string::npos) << screen;
    EXPECT_TRUE(restored(prompt.settings()));
}

// Ctrl-C (0 here) cancels at once; a signal still does what it did before the prompt: here,
// end the program. Either way the terminal is left as it was.
TEST(PasswordPromptIntegrationTest, CtrlCCancelsASignalEndsTheProgramAndTheTerminalComesBack) {
    for (int number : {0, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(number);
        PromptOnTerminal prompt;
        ASSERT_TRUE(prompt.ready());
        prompt.type(number == 0 ? "half\x03" : "par");
        if (number != 0) prompt.signal(number);
        std::optional<int> status = prompt.waitForChild();
        ASSERT_TRUE(status);
        if (number == 0) {
            EXPECT_TRUE(WIFEXITED(*status)) << "the prompt ended the program instead of cancelling";
            EXPECT_EQ(prompt.answer(), "cancelled");
        } else {
            ASSERT_TRUE(WIFSIGNALED(*status));
            EXPECT_EQ(WTERMSIG(*status), number);
        }
        EXPECT_TRUE(restored(prompt.settings()));
    }
}

}  // namespace
}  // namespace vt
