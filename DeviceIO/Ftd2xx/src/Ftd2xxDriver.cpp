#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/Environment.h>
#include <Poco/Mutex.h>
#include <map>
#include <memory>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

const char* const Ftd2xxDriver::LIBRARY_VARIABLE = "ORLAN_FTD2XX_LIBRARY";

namespace {

Poco::FastMutex& driversMutex()
{
    static Poco::FastMutex mutex;
    return mutex;
}

/// Never destroyed: channels in static objects may still use their driver at exit.
std::map<std::string, Ftd2xxDriver*>& drivers()
{
    static auto* loaded = new std::map<std::string, Ftd2xxDriver*>;
    return *loaded;
}

} // namespace

/// Holds an entry point with the driver's calling convention. GCC drops the stdcall
/// attribute of a function pointer type given as a template argument, so the pointer
/// type is formed here, inside the template, rather than handed to FunctorHandler.
template <typename R, typename... Args>
class EntryPoint
{
public:
    typedef R(FTD2XX_API* Pointer)(Args...);
    explicit EntryPoint(void* symbol) : _fn(reinterpret_cast<Pointer>(symbol)) {}
    R operator()(Args... args) const { return _fn(args...); }

private:
    Pointer _fn;
};

template <typename R, typename... Args>
void Ftd2xxDriver::bind(Util::System::Functor<R, Args...>& functor, const char* name)
{
    typedef Util::System::Functor<R, Args...> F;
    typename F::Impl* handler =
        new Util::System::FunctorHandler<F, EntryPoint<R, Args...>>(EntryPoint<R, Args...>(getSymbol(name)));
    functor = F(handler);
}

template <typename R, typename... Args>
void Ftd2xxDriver::bindIfPresent(Util::System::Functor<R, Args...>& functor, const char* name)
{
    if (hasSymbol(name)) bind(functor, name);
}

Ftd2xxDriver::Ftd2xxDriver(const std::string& path) : Poco::SharedLibrary(path)
{
    try
    {
        bind(FT_Open, "FT_Open");
        bind(FT_OpenEx, "FT_OpenEx");
        bind(FT_Close, "FT_Close");
        bind(FT_Read, "FT_Read");
        bind(FT_Write, "FT_Write");
        bind(FT_SetBaudRate, "FT_SetBaudRate");
        bind(FT_SetDataCharacteristics, "FT_SetDataCharacteristics");
        bind(FT_SetFlowControl, "FT_SetFlowControl");
        bind(FT_Purge, "FT_Purge");
        bind(FT_SetTimeouts, "FT_SetTimeouts");
        bind(FT_SetLatencyTimer, "FT_SetLatencyTimer");
        bind(FT_SetUSBParameters, "FT_SetUSBParameters");
        bind(FT_GetDeviceInfo, "FT_GetDeviceInfo");
        bind(FT_CreateDeviceInfoList, "FT_CreateDeviceInfoList");
        bind(FT_GetDeviceInfoList, "FT_GetDeviceInfoList");
        bind(FT_GetDriverVersion, "FT_GetDriverVersion");
        bindIfPresent(FT_GetQueueStatus, "FT_GetQueueStatus");
    }
    catch (...)
    {
        unload();
        throw;
    }
}

Ftd2xxDriver::~Ftd2xxDriver() = default;

std::string Ftd2xxDriver::libraryPath()
{
    std::string path = Poco::Environment::get(LIBRARY_VARIABLE, "");
    if (!path.empty()) return path;
#if defined(_WIN32)
    return "ftd2xx.dll";
#elif defined(__APPLE__)
    return "libftd2xx.dylib";
#else
    return "libftd2xx.so";
#endif
}

Ftd2xxDriver& Ftd2xxDriver::instance()
{
    // Keyed by path, so a changed ORLAN_FTD2XX_LIBRARY is honoured; a failed load leaves nothing behind.
    const std::string path = libraryPath();
    Poco::FastMutex::ScopedLock lock(driversMutex());
    auto& loaded = drivers();
    auto it = loaded.find(path);
    if (it != loaded.end()) return *it->second;
    std::unique_ptr<Ftd2xxDriver> driver(new Ftd2xxDriver(path));
    loaded[path] = driver.get();
    return *driver.release();
}

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco
