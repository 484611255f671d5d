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
    }
    filter.setManager(nullptr);
}

std::vector<Filter*> LayoutManager::getFilters() const
{
    Poco::FastMutex::ScopedLock lock(_mutex);
    return _filters;
}

void LayoutManager::processAll()
{
    for (Filter* filter : getFilters())
    {
        if (!filter->getIsEnabled()) continue;
        Synchronizer::DisablerLocker lock(&filter->getSynchronizer());
        filter->process();
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
