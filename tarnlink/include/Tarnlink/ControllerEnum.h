#ifndef Tarnlink_ControllerEnum_INCLUDED
#define Tarnlink_ControllerEnum_INCLUDED

#include <Poco/AutoPtr.h>
#include <Tarnlink/ControllerFactory.h>
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

    std::size_t count() const { return _factories.size(); }
    /// Throws std::out_of_range for an index at or beyond count().
    Poco::AutoPtr<ControllerFactory> get(std::size_t index) const;

private:
    std::vector<Poco::AutoPtr<ControllerFactory>> _factories;
    bool _onlyAvailable;
};

} // namespace Tarnlink

#endif
