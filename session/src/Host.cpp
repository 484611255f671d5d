#include "Drfn3/Host.h"

#include "Drfn3/Discovery.h"

#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/Util/PropertyFileConfiguration.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace Drfn3 {

namespace {

#if defined(_WIN32)
const char* const MODULE_FILE = "DRFN3Internal.dll";
#else
const char* const MODULE_FILE = "libDRFN3Internal.so";
#endif

fs::path executableFolder()
{
#if defined(_WIN32)
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return length == 0 || length == MAX_PATH ? fs::path() : fs::path(self).parent_path();
#else
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
#endif
}

/// The loader of the module at path, loading it when no host holds it yet.
std::shared_ptr<Quillmesh::Core::PluginLoader> sharedLoader(const std::string& path)
{
    static std::mutex mutex;
    static std::map<std::string, std::weak_ptr<Quillmesh::Core::PluginLoader>> loaders;
    std::lock_guard<std::mutex> guard(mutex);
    std::shared_ptr<Quillmesh::Core::PluginLoader> loader = loaders[path].lock();
    if (!loader)
    {
        loader = std::make_shared<Quillmesh::Core::PluginLoader>();
        loader->load(path);
        loaders[path] = loader;
    }
    return loader;
}

const char* const TOO_MANY = "Too many drfns in the Network";

// The traffic log is asked for per run: a saved LogFile would log every later run too.
const char* const UNSAVED[] = {"LogFile"};

} // namespace

void checkWritable(const std::string& path, const std::string& what)
{
    const bool existed = fs::exists(path);
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (!file) throw Poco::CreateFileException("Cannot write " + what + " " + path + ": " + std::strerror(errno));
    std::fclose(file);
    if (!existed) std::remove(path.c_str());
}

std::vector<std::string> moduleCandidates()
{
    std::vector<std::string> candidates;
    const std::string fromEnvironment = Poco::Environment::get("DRFN3_MODULE", "");
    if (!fromEnvironment.empty()) candidates.push_back(fromEnvironment);
    const fs::path folder = executableFolder();
    if (!folder.empty())
    {
        candidates.push_back((folder / MODULE_FILE).string());
        candidates.push_back((folder / DRFN3_MODULE_RELATIVE_DIR / MODULE_FILE).lexically_normal().string());
    }
    candidates.push_back((fs::path(DRFN3_MODULE_INSTALL_DIR) / MODULE_FILE).string());
    return candidates;
}

std::string findModule(const std::string& explicitPath)
{
    if (!explicitPath.empty())
    {
        if (!fs::exists(explicitPath)) throw Poco::FileNotFoundException("Module " + explicitPath + " does not exist");
        return explicitPath;
    }
    std::string tried;
    for (const std::string& candidate : moduleCandidates())
    {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate;
        tried += "\n  " + candidate;
    }
    throw Poco::FileNotFoundException("The DRFN3Internal module was not found; give it with --module PATH. Looked at:" +
                                      tried);
}

std::string defaultConfigPath()
{
    std::string base = Poco::Environment::get("XDG_CONFIG_HOME", "");
#if defined(_WIN32)
    if (base.empty()) base = Poco::Environment::get("APPDATA", "");
#endif
    if (base.empty()) base = (fs::path(Poco::Environment::get("HOME", ".")) / ".config").string();
    return (fs::path(base) / "drfn3" / "settings.properties").string();
}

Host::Host(const Settings& settings)
    : _modulePath(findModule(settings.module)),
      _configPath(settings.config.empty() ? defaultConfigPath() : settings.config),
      _ephemeral(settings.ephemeral)
{
    // Found out before anything is connected, not as a run without its log.
    if (!settings.log.empty()) checkWritable(settings.log, "the traffic log");
    _loader = sharedLoader(_modulePath);
    _filter = std::make_unique<Quillmesh::Core::HostedFilter>("FilterDRFN3", "drfn3");
    if (!_ephemeral) restore();
    apply(settings);
    save();
    if (!settings.log.empty()) set("LogFile", settings.log);
    if (!settings.controller.empty()) set("Ctrl Port", settings.controller);
}

Host::~Host()
{
    try
    {
        disconnect();
    }
    catch (...)
    {
        // Nothing more to do for a controller that will not stop; the process is ending.
    }
}

void Host::restore()
{
    if (!fs::exists(_configPath)) return;
    for (const Quillmesh::Core::RestoreProblem& problem : _filter->restore(_configPath))
    {
        // Pod settings such as "Led" are writable only while connected, and a setting the
        // file does not hold keeps its default: neither is a refused value.
        if (problem.reason.rfind(Poco::NoPermissionException().displayText(), 0) == 0) continue;
        if (problem.reason == "Not in the file") continue;
        if (problem.property == "serial" && problem.reason.find(TOO_MANY) != std::string::npos)
        {
            // More pods than a closed controller allows: they are set once it is open.
            Poco::AutoPtr<Poco::Util::PropertyFileConfiguration> file(
                new Poco::Util::PropertyFileConfiguration(_configPath));
            _pendingSerials = file->getString("serial", "");
            continue;
        }
        std::cerr << "drfn3: saved setting " << problem.property << " in " << _configPath
                  << " was not used: " << problem.reason << '\n';
        // Saving now would replace the user's refused values with defaults for good.
        _keepFile = true;
    }
    if (_keepFile)
        std::cerr << "drfn3: " << _configPath << " is left as it is; mend or remove it to save settings again\n";
}

void Host::apply(const Settings& settings)
{
    auto option = [this](const char* name, const char* property, const std::string& text) {
        try
        {
            set(property, text);
            if (std::string(property) == "serial") _pendingSerials.clear();
        }
        catch (const Poco::RangeException& error)
        {
            // The filter allows 5 pods until it knows the controller; a larger network is
            // set once it is open, and refused then if it is still too large.
            if (std::string(property) != "serial" || error.message().find(TOO_MANY) == std::string::npos)
                throw UsageError(std::string(name) + " " + text + ": " + error.displayText());
            _pendingSerials = text;
        }
        catch (const Poco::NoPermissionException&)
        {
            if (_pendingSerials.empty())
                throw UsageError(std::string(name) + " applies to pods: give them with --pods too");
            _pendingSettings.emplace_back(property, text);
        }
        catch (const Poco::Exception& error)
        {
            throw UsageError(std::string(name) + " " + text + ": " + error.displayText());
        }
    };
    // The frequency bounds how many pods fit, and the sensor modes are writable only with pods.
    if (settings.frequency >= 0) option("--frequency", "Frequency", std::to_string(settings.frequency));
    if (settings.podsGiven)
    {
        std::string text;
        for (unsigned serial : parseSerials(settings.pods)) text += (text.empty() ? "" : ";") + hex(serial);
        option("--pods", "serial", text);
    }
    if (settings.channel >= 0) option("--channel", "Channel", std::to_string(settings.channel));
    if (settings.accMode >= 0) option("--acc-mode", "Acc mode", std::to_string(settings.accMode));
    if (settings.magMode >= 0) option("--mag-mode", "Mag mode", std::to_string(settings.magMode));
    if (settings.gyro != 0) option("--gyro", "Gyro On", settings.gyro > 0 ? "1" : "0");
}

void Host::save()
{
    if (_ephemeral || _keepFile) return;
    fs::path folder = fs::path(_configPath).parent_path();
    if (!folder.empty()) fs::create_directories(folder);
    _filter->save(_configPath);
    Poco::AutoPtr<Poco::Util::PropertyFileConfiguration> file(new Poco::Util::PropertyFileConfiguration(_configPath));
    for (const char* name : UNSAVED) file->remove(name);
    if (!_pendingSerials.empty()) file->setString("serial", _pendingSerials);
    file->save(_configPath);
}

std::vector<unsigned> Host::serials() const
{
    return parseSerials(_pendingSerials.empty() ? get("serial") : _pendingSerials);
}

void Host::connect(const std::string& expectedIdentity)
{
    if (connected()) return;
    const ControllerReport probe = probeController(get("Ctrl Port"));
    if (probe.generation == 0)
    {
        try
        {
            // The filter's own word for it, with what discovery could not use.
            set("connection", "1");
        }
        catch (const Poco::NotFoundException& error)
        {
            throw Poco::NotFoundException(error.message() + describeUnusablePorts());
        }
        if (!connected())
            throw Poco::NotFoundException("No Motion Controller available" +
                                          (get("Ctrl Port").empty() ? std::string() : " at " + get("Ctrl Port")) +
                                          describeUnusablePorts());
    }
    else
    {
        if (!probe.usable)
            throw Poco::IOException("The controller on " + probe.where + " cannot be used: " + probe.details);
        if (!expectedIdentity.empty() && probe.identity != expectedIdentity)
            throw Poco::IOException(
                probe.where + " is not the controller that was lost: it answers as " +
                (probe.identity.empty() ? std::string("a controller without serial number") : probe.identity) +
                ", not " + expectedIdentity);
        set("connection", "1");
    }
    _controller = probe;
    if (!_pendingSerials.empty() && !get("Ctrl HW").empty())
    {
        try
        {
            set("serial", _pendingSerials);
            _pendingSerials.clear();
            for (const auto& setting : _pendingSettings) set(setting.first, setting.second);
            _pendingSettings.clear();
        }
        catch (const Poco::Exception& error)
        {
            set("connection", "0");
            throw UsageError("Pods " + _pendingSerials + ": " + error.displayText());
        }
    }
    if (get("Ctrl HW").empty())
    {
        // It answered the probe, then stopped: the filter keeps such a port open.
        set("connection", "0");
        throw Poco::IOException("The controller on " + probe.where + " stopped answering while it was being set up");
    }
}

void Host::disconnect()
{
    if (!_filter || !connected()) return;
    if (transmitting()) set("transmission", "0");
    set("connection", "0");
}

} // namespace Drfn3
