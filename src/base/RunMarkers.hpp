#pragma once

#include <string>
#include <vector>

namespace vt {

// Tells, per process, whether earlier runs of the program ended normally. Each run that
// works on the inventory leaves a marker file locked for its whole lifetime and removes it
// when it exits normally. A marker that no live process holds belongs to a run that crashed
// or was killed; one held by a running process (a scan in progress elsewhere) means nothing
// about the past, so a `list` during a scan does not warn.
class RunMarkers {
public:
    explicit RunMarkers(std::string folder);
    ~RunMarkers();
    RunMarkers(const RunMarkers&) = delete;
    RunMarkers& operator=(const RunMarkers&) = delete;

    // The markers of runs that ended abnormally (none when the folder does not exist).
    std::vector<std::string> abandoned() const;
    // Creates and locks this process's marker, then removes the abandoned ones, which the
    // caller has judged. Throws FileWriteError when the marker cannot be made.
    void begin();
    // This process exits normally: its marker goes.
    void end();
    // This process's marker, once begun.
    const std::string& own() const { return own_; }

private:
    std::string folder_;
    std::string own_;
    int fd_ = -1;
};

}  // namespace vt
