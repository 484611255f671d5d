#include "DRFN3Internal/Cause.h"

#include <exception>

namespace DRFN3Internal {

std::unique_ptr<Poco::Exception> currentCause()
{
    if (!std::current_exception()) return nullptr;
    try
    {
        throw;
    }
    catch (const Poco::Exception& e)
    {
        return std::unique_ptr<Poco::Exception>(e.clone());
    }
    catch (const std::exception& e)
    {
        return std::make_unique<Poco::Exception>(e.what());
    }
    catch (...)
    {
        return nullptr;
    }
}

} // namespace DRFN3Internal
