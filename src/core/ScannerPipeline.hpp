#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "model/Package.hpp"

namespace vt {

// What one scanner found: its items, and the message it published when something went
// wrong without failing the scan (a tool that printed an error, an index out of reach).
struct ScanOutcome {
    std::vector<Package> packages;
    std::optional<std::string> message;
    // How many items it found, when they are not packages (the applications, kept by their
    // own manager); the number of packages otherwise.
    std::optional<std::size_t> itemCount;
};

// One source of the scan, run as a chain: `run` (the inventory), then as soon as it ends
// `checkUpdates` (the outdated items, latestVersion filled), each step on a thread of its
// own under `timeout`, while the other sources run their own chains. Both must honour the
// stop token: stopping it is how a time limit ends the source and its processes. Commands
// a step runs with that token take their turn for a process slot as one party.
struct ScannerPipeline {
    std::string id;              // scanner id ("npm")
    std::string source;          // display name ("npm")
    std::string logTag;          // "[npm] 1.2s"
    std::string startDetails;    // status text while it runs
    std::string successDetails;  // completion line, followed by the count ("Inventaire NPM terminé: ")
    bool isCore = false;         // extended sources share an overall bound from the scan's start
    std::chrono::duration<double> timeout{180};
    std::function<ScanOutcome(std::stop_token)> run;
    std::function<ScanOutcome(std::stop_token)> checkUpdates;  // may be empty
    // The fingerprint of what `run` reads (files' and folders' metadata, the tool's own
    // path): while it is the one of the last listing, that listing stands and the tool is not
    // run. Empty (or no function): the source cannot tell, and lists at every scan.
    std::function<std::string()> inputs;
};

}  // namespace vt
