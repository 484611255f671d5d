#include "Quillmesh/Core/HostedFilter.h"

#include "Quillmesh/Core/AbstractProperty.h"

namespace Quillmesh {
namespace Core {

HostedFilter::HostedFilter(const std::string& typeName, const std::string& name, PluginManager& manager)
    : _manager(manager), _filter(manager.createFilter(typeName, name)), _probes("host")
{
}

HostedFilter::~HostedFilter()
{
    {
        Poco::FastMutex::ScopedLock lock(_tapsMutex);
        _taps.clear();
    }
    try
    {
        _manager.destroyFilter(_filter);
    }
    catch (...)
    {
        // Uninstalling its plug-in already destroyed the filter.
    }
}

std::vector<PropertyDescription> HostedFilter::listProperties() const
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    std::vector<PropertyDescription> descriptions;
    for (const AbstractProperty* property : _filter->getPropertyBag().getProperties())
        descriptions.push_back(describeProperty(*property));
    return descriptions;
}

std::string HostedFilter::getProperty(const std::string& name) const
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    std::string text;
    _filter->getPropertyBag().get(name).serialize(text);
    return text;
}

void HostedFilter::setProperty(const std::string& name, const std::string& text)
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    try
    {
        _filter->getPropertyBag().get(name).deSerialize(text);
    }
    catch (...)
    {
        reattachTaps();
        throw;
    }
    reattachTaps();
}

std::vector<std::string> HostedFilter::getOutputPinNames() const
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    std::vector<std::string> names;
    for (const AbstractOutputPin* pin : _filter->getOutputPins()) names.push_back(pin->getName());
    return names;
}

std::vector<std::string> HostedFilter::getInputPinNames() const
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    std::vector<std::string> names;
    for (const AbstractInputPin* pin : _filter->getInputPins()) names.push_back(pin->getName());
    return names;
}

void HostedFilter::attachProbe(const std::string& outputPin, AbstractInputPin& probe)
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    AbstractOutputPin* output = _filter->findOutputPin(outputPin);
    if (!output)
        throw Poco::NotFoundException("Filter '" + _filter->getName() + "' has no output pin '" + outputPin + "'");
    output->attach(probe);
}

void HostedFilter::reattachTaps()
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    Poco::FastMutex::ScopedLock taps(_tapsMutex);
    for (const std::unique_ptr<AbstractInputPin>& probe : _taps)
    {
        if (probe->getAbstractSource()) continue;
        AbstractOutputPin* output = _filter->findOutputPin(probe->getName());
        if (!output) continue;
        try
        {
            output->attach(*probe);
        }
        catch (const Poco::InvalidArgumentException&)
        {
            // A pin of that name now carries another type: the tap stays without a source.
        }
    }
}

void HostedFilter::process()
{
    Synchronizer::DisablerLocker lock(&_filter->getSynchronizer());
    // Walking every probe costs more than a frame: only when the filter's pins changed.
    const std::uint64_t generation = _filter->getPinsGeneration();
    if (generation != _attachedGeneration)
    {
        reattachTaps();
        _attachedGeneration = generation;
    }
    _filter->process();
}

void HostedFilter::save(const std::string& path) const
{
    saveProperties(_filter->getPropertyBag(), path);
}

std::vector<RestoreProblem> HostedFilter::restore(const std::string& path)
{
    std::vector<RestoreProblem> problems = restoreProperties(_filter->getPropertyBag(), path);
    reattachTaps();
    return problems;
}

} // namespace Core
} // namespace Quillmesh
