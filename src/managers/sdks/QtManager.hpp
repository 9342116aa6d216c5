#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for a Qt installation made with Qt's online installer, through the
// installation's own MaintenanceTool (Qt Installer Framework's command line): `list` prints
// the installed components and `check-updates` the components with an update, each as an XML
// element with "name" and "version" attributes. The installation is ~/Qt, else /opt/Qt (and
// /Applications/Qt on macOS), its tool ROOT/MaintenanceTool (or the .app's executable on
// macOS). The update is `MaintenanceTool --accept-licenses --default-answer --confirm-command
// update NAME`: the tool installs the component's newest version and cannot be told one, so
// the listing is read again afterwards. Licences here are the ones the user accepted at
// installation: the tool asks again only for changed terms, which the default answer declines.
class QtManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 180;
    static constexpr double kUpdateTimeout = 3600;

    struct Component {
        std::string name;
        std::string version;
        std::string displayName;

        friend bool operator==(const Component&, const Component&) = default;
    };

    QtManager(CommandRunning& runner, const FileSystemManager& files);
    QtManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // The elements of `elementName` ("package", "update") with a name and a version.
    static std::vector<Component> parseComponents(std::string_view xml, std::string_view elementName);
    // A component id the tool may be given: "qt.qt6.680.gcc_64" and the like.
    static bool isComponentName(std::string_view name);

private:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Component> readComponents(const std::string& command, std::string_view element, std::stop_token stop,
                                          std::optional<std::string>& message);
    static Package makePackage(const Component& component);
};

}  // namespace vt
