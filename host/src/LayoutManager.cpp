#include "Quillmesh/Core/LayoutManager.h"

#include "Quillmesh/Core/Filter.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

LayoutManager::~LayoutManager()
{
    for (Filter* filter : getFilters()) removeFilter(*filter);
}

void LayoutManager::addFilter(Filter& filter)
{
    if (LayoutManager* previous = filter.getLayoutManager())
    {
        if (previous == this) return;
        previous->removeFilter(filter);
    }
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        if (contains(&filter)) return;
        _filters.push_back(&filter);
    }
    filter.setManager(this);
}

void LayoutManager::removeFilter(Filter& filter)
{
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        auto it = std::find(_filters.begin(), _filters.end(), &filter);
        if (it == _filters.end()) return;
        _filters.erase(it);
        // A round at this filter either runs it now or waits for its lock; in both cases it
        // checks membership under that lock. Waiting is only safe when neither the round nor
        // the lock is ours.
        const bool mayWait =
            _busyThread != Poco::Thread::currentTid() && !filter.getSynchronizer().isHeldByThisThread();
        // The round may sit in a blocking read of the filter: end such waits, as a thread
        // wanting the filter's lock would, until the round moves on.
        while (mayWait && _busy == &filter)
        {
            filter.getSynchronizer().wakeWaiters();
            _roundMoved.tryWait(_mutex, 5);
        }
    }
    if (filter.getLayoutManager() == this) filter.setManager(nullptr);
}

std::vector<Filter*> LayoutManager::getFilters() const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    return _filters;
}

bool LayoutManager::contains(Filter* filter) const
{
    return std::find(_filters.begin(), _filters.end(), filter) != _filters.end();
}

void LayoutManager::processAll()
{
    const std::vector<Filter*> round = getFilters();
    for (Filter* filter : round)
    {
        {
            Poco::FastMutex::ScopedLock lock(_mutex);
            // Removed since the round began: the filter may already be gone.
            if (!contains(filter)) continue;
            _busy = filter;
            _busyThread = Poco::Thread::currentTid();
        }
        try
        {
            if (filter->getIsEnabled())
            {
                Synchronizer::DisablerLocker lock(&filter->getSynchronizer());
                bool member;
                {
                    Poco::FastMutex::ScopedLock state(_mutex);
                    member = contains(filter);
                }
                if (member) filter->process();
            }
        }
        catch (...)
        {
            Poco::FastMutex::ScopedLock lock(_mutex);
            _busy = nullptr;
            _busyThread = Poco::Thread::TID();
            _roundMoved.broadcast();
            throw;
        }
        Poco::FastMutex::ScopedLock lock(_mutex);
        _busy = nullptr;
        _busyThread = Poco::Thread::TID();
        _roundMoved.broadcast();
    }
}

void LayoutManager::linkAttached(AbstractOutputPin& output, AbstractInputPin& input, bool& accepted)
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    _links.emplace_back(&output, &input);
    accepted = true;
}

void LayoutManager::linkDetached(AbstractOutputPin& output, AbstractInputPin& input)
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    _links.erase(std::remove(_links.begin(), _links.end(), Link(&output, &input)), _links.end());
}

std::vector<LayoutManager::Link> LayoutManager::getSynchronousLinks() const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    return _links;
}

} // namespace Core
} // namespace Quillmesh
