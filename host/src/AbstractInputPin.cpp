#include "Quillmesh/Core/AbstractInputPin.h"

#include "Quillmesh/Core/AbstractOutputPin.h"

namespace Quillmesh {
namespace Core {

Synchronizer* AbstractInputPin::getSourceSynchronizer() const
{
    Poco::Mutex::ScopedLock wiring(getWiringMutex());
    AbstractOutputPin* source = getAbstractSource();
    return source ? &source->getSynchronizer() : nullptr;
}

void AbstractInputPin::unlinkFrom(AbstractOutputPin& source)
{
    source.unlink(*this);
}

// The source's owner outlives its pins, so its synchronizer may be used after the wiring
// mutex is let go; the strategy is rebuilt against whatever source is current by then.
template <typename Store>
void AbstractInputPin::setOption(Store store)
{
    Synchronizer::LinkLocker lock(&getSynchronizer(), getSourceSynchronizer());
    Poco::Mutex::ScopedLock wiring(getWiringMutex());
    store();
    rebuildBufferStrategy();
}

void AbstractInputPin::setBufferSize(std::size_t size)
{
    setOption([&] { _bufferSize = size; });
}

void AbstractInputPin::setIsLifo(bool lifo)
{
    setOption([&] { _isLifo = lifo; });
}

void AbstractInputPin::setIsSynchronous(bool synchronous)
{
    setOption([&] { _isSynchronous = synchronous; });
}

void AbstractInputPin::setIsBlocking(bool blocking)
{
    setOption([&] { _isBlocking = blocking; });
}

} // namespace Core
} // namespace Quillmesh
