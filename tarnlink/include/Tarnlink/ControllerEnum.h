#ifndef Tarnlink_ControllerEnum_INCLUDED
#define Tarnlink_ControllerEnum_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/AutoPtr.h>
#include <Tarnlink/ControllerFactory.h>
#include <functional>
#include <string>
#include <vector>

namespace Tarnlink {

/// The controllers present when it was built, generation 2 before generation 1. On Linux
/// generation 1 controllers on the kernel's serial ports come before those the D2XX
/// library lists, and a controller seen both ways (same USB serial number) is listed once,
/// as the serial port: while the kernel driver holds the chip, D2XX cannot open it.
/// Neither a failing port enumeration nor a missing D2XX library stops the others from
/// being listed.
/// Thread-safe: a built list does not change, and the sources are kept under a lock.
class Tarnlink_API ControllerEnum
{
public:
    /// Extra device paths listed as generation 1 serial ports (Linux; separated by ':'),
    /// as ORLAN_TARNLINK_PORTS is for generation 2.
    static const char* const GEN1_PORTS_VARIABLE;

    /// onlyAvailable leaves out controllers another program holds open.
    explicit ControllerEnum(bool onlyAvailable);
#if !defined(_WIN32)
    /// sysRoot and devRoot replace /sys and /dev; tests point them at a fake tree.
    ControllerEnum(bool onlyAvailable, const std::string& sysRoot, const std::string& devRoot);
#endif
    virtual ~ControllerEnum();

    /// Controllers the system cannot see, such as an in-process simulator; listed after the
    /// devices found, in the order the sources were added.
    typedef std::function<std::vector<Poco::AutoPtr<ControllerFactory>>()> Source;
    /// Returns a key for removeSource.
    static int addSource(Source source);
    static void removeSource(int key);

    std::size_t count() const
    {
        return _factories.size();
    }
    /// Throws std::out_of_range for an index at or beyond count().
    Poco::AutoPtr<ControllerFactory> get(std::size_t index) const;

private:
    void build(const std::string& sysRoot, const std::string& devRoot);

    std::vector<Poco::AutoPtr<ControllerFactory>> _factories;
    bool _onlyAvailable;
};

} // namespace Tarnlink

#endif
