#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

// Asks for a password on the controlling terminal, with echo off. Enter ends it; Ctrl-C (the
// terminal's interrupt character), end of input or a closed terminal cancel it, and nothing
// is returned. The terminal's settings come back on every way out: a SIGINT, SIGTERM, SIGHUP
// or SIGQUIT that arrives meanwhile restores them at once, cancels the prompt and is raised
// again once the handlers that were there before are back. One prompt at a time; blocks the
// calling thread. `prompt` is outside text and is cleaned before it is shown.
std::optional<std::string> askPasswordOnTerminal(const std::string& prompt);

using PasswordAsker = std::function<std::optional<std::string>(const std::string& prompt)>;

// Asks through the asker in place, the terminal's prompt above when none is. A full-screen
// view owns the terminal's keys: while it runs it puts its own asker in place, so that no
// prompt reads the keys it reads and no question is written over what it draws.
std::optional<std::string> askPassword(const std::string& prompt);

// Puts an asker in place for its lifetime, then the one that was before.
class ScopedPasswordAsker {
public:
    explicit ScopedPasswordAsker(PasswordAsker asker);
    ~ScopedPasswordAsker();
    ScopedPasswordAsker(const ScopedPasswordAsker&) = delete;
    ScopedPasswordAsker& operator=(const ScopedPasswordAsker&) = delete;

private:
    PasswordAsker previous_;
};

// Overwrites the bytes of a secret, so that no copy of it outlives its use in our memory.
void wipe(std::string& secret) noexcept;

// A password as it is typed, key by key. Its room is reserved up front for the longest one, so
// the text never moves and leaves no copy behind; it is wiped when it goes.
class TypedPassword {
public:
    TypedPassword();
    ~TypedPassword();
    TypedPassword(const TypedPassword&) = delete;
    TypedPassword& operator=(const TypedPassword&) = delete;

    // Bytes beyond the longest password are dropped.
    void add(std::string_view bytes);
    // The last character, all of its UTF-8 bytes.
    void eraseLast();
    void clear();
    bool empty() const noexcept { return typed_.empty(); }
    // The password, with room for the newline a caller adds; this is left empty.
    std::string take();

private:
    std::string typed_;
};

}  // namespace vt
