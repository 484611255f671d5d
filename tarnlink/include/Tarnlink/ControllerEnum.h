#ifndef Tarnlink_ControllerEnum_INCLUDED
#define Tarnlink_ControllerEnum_INCLUDED

#include <Poco/AutoPtr.h>
#include <Tarnlink/ControllerFactory.h>
#include <functional>
#include <vector>

namespace Tarnlink {

/// The controllers present when it was built, generation 2 before generation 1.
/// Neither a failing port enumeration nor a missing D2XX library stops the other
/// generation from being listed.
class ControllerEnum
{
public:
    /// onlyAvailable leaves out controllers another program holds open.
    explicit ControllerEnum(bool onlyAvailable);
    virtual ~ControllerEnum();

    /// Controllers the system cannot see, such as an in-process simulator; listed after the
    /// devices found, in the order the sources were added.
    typedef std::function<std::vector<Poco::AutoPtr<ControllerFactory>>()> Source;
    /// Returns a key for removeSource.
    static int addSource(Source source);
    static void removeSource(int key);

    std::size_t count() const { return _factories.size(); }
    /// Throws std::out_of_range for an index at or beyond count().
    Poco::AutoPtr<ControllerFactory> get(std::size_t index) const;

private:
    std::vector<Poco::AutoPtr<ControllerFactory>> _factories;
    bool _onlyAvailable;
};

} // namespace Tarnlink

#endif
