#ifndef Quillmesh_Core_ValueProperty_INCLUDED
#define Quillmesh_Core_ValueProperty_INCLUDED

#include "Quillmesh/Core/AbstractProperty.h"

#include "Util/System/Functor.h"

#include <Poco/Exception.h>

#include <atomic>
#include <charconv>
#include <memory>
#include <sstream>
#include <string>
#include <type_traits>

namespace Quillmesh {
namespace Core {

namespace Private {

// Text form of property values: bool as 1 or 0, integers in decimal, text unchanged.
template <typename T>
struct PropertyText
{
    static void write(const T& value, std::string& text)
    {
        if constexpr (std::is_floating_point_v<T>)
        {
            // The shortest text that reads back as the same value: a stream's six digits
            // would change a saved setting on every save and restore.
            char buffer[64];
            const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
            if (result.ec != std::errc()) throw Poco::DataFormatException();
            text.assign(buffer, result.ptr);
            return;
        }
        std::ostringstream stream;
        if constexpr (std::is_same_v<T, bool>)
            stream << (value ? 1 : 0);
        else
            stream << value;
        if (!stream) throw Poco::DataFormatException();
        text = stream.str();
    }

    static T read(const std::string& text)
    {
        std::istringstream stream(text);
        T value{};
        // A stream reads "-1" into an unsigned as its largest value; refuse the sign instead.
        if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>)
        {
            stream >> std::ws;
            if (stream.peek() == '-') throw Poco::DataFormatException();
        }
        stream >> value;
        if (stream.fail()) throw Poco::DataFormatException();
        // Trailing garbage such as "12abc" is refused rather than read as 12.
        stream >> std::ws;
        if (!stream.eof()) throw Poco::DataFormatException();
        return value;
    }
};

template <>
struct PropertyText<std::string>
{
    static void write(const std::string& value, std::string& text) { text = value; }
    static std::string read(const std::string& text) { return text; }
};

} // namespace Private

/// A typed property. set() validates (writable check, then the owner's handler) before it
/// stores, all under the property's synchronizer; a handler that throws leaves the value.
template <typename T>
class ValueProperty : public AbstractProperty
{
public:
    typedef T ValueType;
    typedef Util::System::Functor<void, const T&> Handler;

    ValueProperty(const std::string& name, PropertyBag* bag) : AbstractProperty(name, bag) {}
    ~ValueProperty() override { delete _handler; }

    void accept(Util::System::AbstractVisitor& visitor) const override
    {
        if (!acceptImpl<ValueProperty>(*this, visitor)) AbstractProperty::accept(visitor);
    }

    bool getIsWritable() const override { return _isWritable; }
    bool getIsPersistent() const override { return _isPersistent; }
    /// Plain field stores: the owner calls notifyAttributeChanged() afterwards.
    void setIsWritable(bool writable) { _isWritable = writable; }
    void setIsPersistent(bool persistent) { _isPersistent = persistent; }

    void serialize(std::string& text) const override
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        Private::PropertyText<T>::write(_value, text);
    }

    void deSerialize(const std::string& text) override { set(Private::PropertyText<T>::read(text)); }

    void setAny(const Poco::Any& value) override { set(Poco::AnyCast<T>(value)); }

    Poco::Any getAny() const override { return Poco::Any(static_cast<const T*>(&_value)); }

    virtual void validate(const T& value)
    {
        checkWritable();
        callHandler(value);
    }

    void set(const T& value)
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        setUnlocked(value);
    }

    /// set() for callers that already hold the property's synchronizer: the same validation,
    /// handler and notification, only without taking the lock.
    void setUnlocked(const T& value)
    {
        validate(value);
        const bool changed = hasObservers() && !(value == _value);
        ScopedChangeValueNotifier notifier(this, changed);
        _value = value;
    }

    T get() const
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        return _value;
    }

    /// Takes ownership of handler (null removes the current one).
    void setHandler(Handler* handler)
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        delete _handler;
        _handler = handler;
    }

    /// A handler that only needs to know that the value is about to change.
    void setHandler(Util::System::Functor<void>* handler)
    {
        std::unique_ptr<Util::System::Functor<void>> owned(handler);
        if (!owned)
        {
            setHandler(static_cast<Handler*>(nullptr));
            return;
        }
        Util::System::Functor<void> call(*owned);
        setHandler(new Handler([call](const T&) { call(); }));
    }

    /// member may belong to a base of Owner, and take the new value (by reference or by
    /// copy) or nothing.
    template <typename Owner, typename Member>
    void bind(Owner* owner, Member member)
    {
        if constexpr (std::is_invocable_v<Member, Owner*, const T&>)
            setHandler(new Handler(owner, member));
        else
        {
            static_assert(std::is_invocable_v<Member, Owner*>, "a handler takes the new value or nothing");
            setHandler(new Util::System::Functor<void>(owner, member));
        }
    }

protected:
    void checkWritable() const
    {
        if (!_isWritable) throw Poco::NoPermissionException("Property '" + getName() + "' is not writable");
    }

    void callHandler(const T& value)
    {
        if (_handler) (*_handler)(value);
    }

    T _value{};
    std::atomic<bool> _isPersistent{true};
    std::atomic<bool> _isWritable{true};
    Handler* _handler = nullptr;
};

} // namespace Core
} // namespace Quillmesh

#endif
