#ifndef DRFN3Internal_Cause_INCLUDED
#define DRFN3Internal_Cause_INCLUDED

#include <Poco/Exception.h>

#include <memory>
#include <string>

namespace DRFN3Internal {

/// The exception being handled, as a cause to nest: a copy of a Poco::Exception (its own
/// causes included), a std::exception's what() in a Poco::Exception; null for anything else
/// or outside a handler.
std::unique_ptr<Poco::Exception> currentCause();

/// Throws E with the message, and the cause nested when there is one.
template <typename E>
[[noreturn]] void throwWithCause(const std::string& message, const Poco::Exception* cause)
{
    if (cause) throw E(message, *cause);
    throw E(message);
}

/// Inside a handler: throws E with the message, the exception being handled nested. Our
/// messages for users are fixed; the nested one says which pod, word or system error it was.
template <typename E>
[[noreturn]] void rethrowAs(const std::string& message)
{
    throwWithCause<E>(message, currentCause().get());
}

} // namespace DRFN3Internal

#endif
