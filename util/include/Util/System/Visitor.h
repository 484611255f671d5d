#ifndef Util_System_Visitor_INCLUDED
#define Util_System_Visitor_INCLUDED

namespace Util {
namespace System {

/// Root of every visitor; a visitor declares what it can visit by deriving from Visitor<T>.
class AbstractVisitor
{
public:
    virtual ~AbstractVisitor() = default;
};

/// Declares that a visitor knows T; use a const T for visits of const objects.
template <typename T>
class Visitor : public virtual AbstractVisitor
{
public:
    virtual void visit(T& visited) = 0;
};

/// Something a visitor can be sent to.
class AbstractVisitable
{
public:
    virtual ~AbstractVisitable() = default;
    virtual void accept(AbstractVisitor& visitor) const = 0;

protected:
    /// Hands visited to visitor when the visitor knows its exact type; false otherwise.
    template <typename T>
    static bool acceptImpl(const T& visited, AbstractVisitor& visitor)
    {
        if (auto* known = dynamic_cast<Visitor<const T>*>(&visitor))
        {
            known->visit(visited);
            return true;
        }
        return false;
    }
};

} // namespace System
} // namespace Util

#endif
