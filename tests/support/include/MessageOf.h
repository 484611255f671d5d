#ifndef Tests_MessageOf_INCLUDED
#define Tests_MessageOf_INCLUDED

#include <string>

namespace Tests {

/// The message of the exception of type E that action throws, or a text saying none came.
template <typename E, typename F>
std::string messageOf(F&& action)
{
    try
    {
        action();
    }
    catch (const E& e)
    {
        return e.message();
    }
    return "<no exception>";
}

} // namespace Tests

#endif
