#ifndef Drfn3_Host_INCLUDED
#define Drfn3_Host_INCLUDED

#include "Drfn3/Discovery.h"
#include "Drfn3/Settings.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/PluginLoader.h"

#include <memory>
#include <string>
#include <vector>

namespace Drfn3 {

/// Places drfn3 looks for the module when --module is not given, in order: $DRFN3_MODULE,
/// next to the executable, the module folder relative to the executable (the build tree and
/// an installed tree share that layout), the install prefix's module folder.
std::vector<std::string> moduleCandidates();
/// The first candidate that exists, or explicitPath when given; Poco::FileNotFoundException
/// listing the places looked at.
std::string findModule(const std::string& explicitPath);
/// Poco::CreateFileException "Cannot write WHAT PATH: the system's message" when path cannot
/// be opened for writing; a file made for the check is removed again.
void checkWritable(const std::string& path, const std::string& what);
/// $XDG_CONFIG_HOME/drfn3/settings.properties, or ~/.config/drfn3/settings.properties.
std::string defaultConfigPath();

/// The module loaded through the host layer and one FilterDRFN3 made by its factory, with
/// the saved settings restored and the command line's applied on top.
class Host
{
public:
    /// Loads the module, creates the filter, restores and applies settings (UsageError when
    /// an option's value is refused), and saves them unless ephemeral.
    explicit Host(const Settings& settings);
    /// Leaves the controller idle and closed.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    Quillmesh::Core::HostedFilter& filter() { return *_filter; }
    std::string get(const std::string& property) const { return _filter->getProperty(property); }
    void set(const std::string& property, const std::string& text) { _filter->setProperty(property, text); }
    /// Runs a command property.
    void run(const std::string& command) { _filter->setProperty(command, ""); }

    /// The pods of "serial", in its order (or those waiting for the controller to be open).
    std::vector<unsigned> serials() const;
    /// Opens the first controller found once it has answered as a controller to reads
    /// alone, and, when expectedIdentity is given, as that controller (see
    /// ControllerReport::identity): nothing is written to a port that did not. When there is
    /// none, Poco::NotFoundException lists the candidate ports that could not be opened and
    /// why; Poco::IOException names a port that does not answer or answers as another.
    void connect(const std::string& expectedIdentity = std::string());
    /// The controller connect() opened last.
    const ControllerReport& controller() const { return _controller; }
    /// Transmission off (pods and controller back on channel 0), then the controller closed.
    void disconnect();
    bool connected() const { return get("connection") == "1"; }
    bool transmitting() const { return get("transmission") == "1"; }
    /// Writes the persistent settings (nothing when ephemeral, or when the file held values
    /// that were refused: it is left for the user to mend).
    void save();

    const std::string& modulePath() const { return _modulePath; }
    const std::string& configPath() const { return _configPath; }

private:
    void restore();
    void apply(const Settings& settings);

    std::string _modulePath;
    std::string _configPath;
    bool _ephemeral;
    bool _keepFile = false;
    ControllerReport _controller;
    /// Pods set once the controller is open: more than the filter allows without one.
    std::string _pendingSerials;
    /// Pod settings given with them, set right after them.
    std::vector<std::pair<std::string, std::string>> _pendingSettings;
    // The filter goes before the module that holds its code. Hosts of one process share the
    // module: its stop ends the plug-in for every filter made from it.
    std::shared_ptr<Quillmesh::Core::PluginLoader> _loader;
    std::unique_ptr<Quillmesh::Core::HostedFilter> _filter;
};

} // namespace Drfn3

#endif
