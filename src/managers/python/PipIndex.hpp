#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Platform.hpp"
#include "managers/python/Pep440.hpp"
#include "managers/python/PythonEnvironments.hpp"

namespace vt {

class FileSystemManager;

// What `pip list --outdated` does for one environment, without starting pip: the index its
// configuration names, each project's page of that index, and the newest version among the
// files that environment could install. Starting pip costs most of a second of CPU per
// environment; a page costs one request. Where the configuration asks for what only pip
// does (local wheel folders, credentials, client certificates, unverified hosts), pip is
// asked instead. Stateless.
class PipIndex {
public:
    using Environment = PythonEnvironments::Environment;

    struct Settings {
        std::vector<std::string> indexUrls;  // index-url, then each extra-index-url; none with no-index
        bool preReleases = false;
        std::optional<std::string> caFile;  // "cert", else the certificate bundle requests would use
        friend bool operator==(const Settings&, const Settings&) = default;
    };
    // The settings pip would use for `pip list` in the environment: the same configuration
    // files, read from `home` and the environment's prefix (pip's children get no
    // XDG_CONFIG_HOME), their [global] and [list] sections, and PIP_CERT. nullopt when they
    // ask for what only pip does.
    static std::optional<Settings> settingsFor(const Environment& environment, const std::string& home,
                                               const std::string& defaultIndex, const FileSystemManager& files);

    // One file of a project's page.
    struct Link {
        std::string fileName;
        std::optional<std::string> requiresPython;
        bool yanked = false;
        friend bool operator==(const Link&, const Link&) = default;
    };
    // The files of a page in the JSON form or the HTML form of the simple repository API,
    // told apart by the Content-Type; nothing for another type or a page that does not parse.
    static std::vector<Link> linksOfPage(std::string_view contentType, std::string_view body);
    // What pip asks for, the JSON form first.
    static constexpr const char* kAccept =
        "application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.1, text/html;q=0.01";
    // "<index>/<normalised-name>/".
    static std::string pageUrl(std::string_view indexUrl, std::string_view project);

    // What decides which files an environment can install.
    struct Target {
        int major = 3;
        int minor = -1;                  // -1 when unknown: any Python tag is taken
        std::optional<int> micro;        // unknown for most interpreters outside a virtual environment
        std::string machine;             // "x86_64", "aarch64", "arm64"
        std::optional<std::pair<int, int>> glibc;  // Linux: manylinux wheels up to this version
        bool macOS = kBuiltForMac;
    };
    static Target targetOf(const Environment& environment, const FileSystemManager& files);

    // The newest version pip would offer for the project among the links: files of that
    // project in a format it installs, wheels whose tags the target supports, not yanked,
    // whose Requires-Python the target meets, pre-releases only when asked for.
    static std::optional<pep440::Version> newest(std::string_view project, const std::vector<Link>& links,
                                                 const Target& target, bool preReleases);
};

}  // namespace vt
