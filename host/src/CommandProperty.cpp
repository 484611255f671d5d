#include "Quillmesh/Core/CommandProperty.h"

#include <Poco/Exception.h>

namespace Quillmesh {
namespace Core {

CommandProperty::~CommandProperty()
{
    delete _handler;
}

void CommandProperty::accept(Util::System::AbstractVisitor& visitor) const
{
    if (!acceptImpl<CommandProperty>(*this, visitor)) AbstractProperty::accept(visitor);
}

void CommandProperty::deSerialize(const std::string&)
{
    execute();
}

void CommandProperty::setAny(const Poco::Any&)
{
    execute();
}

void CommandProperty::setIsWritable(bool writable)
{
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        _isWritable = writable;
    }
    notifyAttributeChanged();
}

void CommandProperty::execute()
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    if (!_isWritable) throw Poco::NoPermissionException("Property '" + getName() + "' is not writable");
    if (_handler) (*_handler)();
}

void CommandProperty::setHandler(Handler* handler)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    delete _handler;
    _handler = handler;
}

} // namespace Core
} // namespace Quillmesh
