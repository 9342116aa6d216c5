#pragma once

#include <spawn.h>

namespace vt {

// The settings every program we start shares, whether we wait for it (a tool) or not (an
// application on the desktop). Constructors and setters throw std::system_error.

class SpawnAttributes {
public:
    // `flags`: what this kind of child adds (its own group, its own session). Every child
    // gets an empty signal mask and the default action for the signals we handle or
    // ignore, and on macOS no descriptor but those the file actions give it.
    explicit SpawnAttributes(short flags);
    ~SpawnAttributes();
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class SpawnFileActions {
public:
    SpawnFileActions();
    ~SpawnFileActions();
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

    void duplicate(int from, int to);
    void openNullDevice(int to, int mode);
    // Libraries we link may open descriptors without close-on-exec; none may reach a child.
    void closeAllAboveStandardError();
    void changeDirectory(const char* folder);

private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace vt
