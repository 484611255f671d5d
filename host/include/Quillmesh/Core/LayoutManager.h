#ifndef Quillmesh_Core_LayoutManager_INCLUDED
#define Quillmesh_Core_LayoutManager_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/NamedObject.h"

#include <Poco/Condition.h>
#include <Poco/Mutex.h>
#include <Poco/Thread.h>

#include <utility>
#include <vector>

namespace Quillmesh {
namespace Core {

class AbstractInputPin;
class AbstractOutputPin;
class Filter;

/// A group of filters the host drives from one thread. Pins whose owners share a layout
/// exchange data without locks; pins across layouts get thread-safe buffers.
class QuillmeshCore_API LayoutManager : public NamedObject
{
public:
    typedef std::pair<AbstractOutputPin*, AbstractInputPin*> Link;

    explicit LayoutManager(const std::string& name) : NamedObject(name) {}
    LayoutManager(const LayoutManager&) = delete;
    LayoutManager& operator=(const LayoutManager&) = delete;
    /// Takes every filter out of the layout.
    ~LayoutManager() override;

    /// Moves filter into this layout (out of the one it was in).
    void addFilter(Filter& filter);
    /// Once this returns, no round calls filter again. It waits for a round busy with filter,
    /// unless the caller runs inside that round or holds the filter's synchronizer (a round
    /// waiting for that lock then skips the filter).
    void removeFilter(Filter& filter);
    std::vector<Filter*> getFilters() const;

    /// One round: process() of every enabled filter, in the order they were added, each under
    /// its own synchronizer. Filters added during a round wait for the next one.
    void processAll();

    /// Called by output pins when a synchronous input is attached or detached.
    virtual void linkAttached(AbstractOutputPin& output, AbstractInputPin& input, bool& accepted);
    virtual void linkDetached(AbstractOutputPin& output, AbstractInputPin& input);
    std::vector<Link> getSynchronousLinks() const;

private:
    bool contains(Filter* filter) const;

    mutable Poco::FastMutex _mutex;
    Poco::Condition _roundMoved;
    // The filter a round is at, and the thread running that round.
    Filter* _busy = nullptr;
    Poco::Thread::TID _busyThread{};
    std::vector<Filter*> _filters;
    std::vector<Link> _links;
};

} // namespace Core
} // namespace Quillmesh

#endif
