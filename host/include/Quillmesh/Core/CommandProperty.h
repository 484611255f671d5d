#ifndef Quillmesh_Core_CommandProperty_INCLUDED
#define Quillmesh_Core_CommandProperty_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/AbstractProperty.h"

#include "Util/System/Functor.h"

#include <atomic>

namespace Quillmesh {
namespace Core {

/// A button: setting it, whatever the text or value, runs the owner's handler.
/// Commands have no value and are never saved.
class QuillmeshCore_API CommandProperty : public AbstractProperty
{
public:
    typedef Util::System::Functor<void> Handler;

    CommandProperty(const std::string& name, PropertyBag* bag) : AbstractProperty(name, bag) {}
    ~CommandProperty() override;

    void accept(Util::System::AbstractVisitor& visitor) const override;
    bool getIsWritable() const override { return _isWritable; }
    bool getIsPersistent() const override { return false; }
    void serialize(std::string& text) const override { text.clear(); }
    void deSerialize(const std::string& text) override;
    void setAny(const Poco::Any& value) override;
    Poco::Any getAny() const override { return Poco::Any(); }

    /// Stores the flag and tells the observers.
    void setIsWritable(bool writable);

    /// Runs the handler under the property's lock; Poco::NoPermissionException when not writable.
    void execute();

    /// Takes ownership of handler.
    void setHandler(Handler* handler);

    /// member may belong to a base of Owner.
    template <typename Owner, typename Member>
    void bind(Owner* owner, Member member)
    {
        setHandler(new Handler(owner, member));
    }

private:
    std::atomic<bool> _isWritable{true};
    Handler* _handler = nullptr;
};

} // namespace Core
} // namespace Quillmesh

#endif
