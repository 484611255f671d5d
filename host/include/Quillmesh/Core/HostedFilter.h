#ifndef Quillmesh_Core_HostedFilter_INCLUDED
#define Quillmesh_Core_HostedFilter_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/FlowManager.h"
#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"
#include "Quillmesh/Core/PluginManager.h"
#include "Quillmesh/Core/PropertyDescription.h"
#include "Quillmesh/Core/PropertyPersistence.h"

#include <Poco/Exception.h>
#include <Poco/Mutex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

/// A filter driven by a host program: made by type name through the plug-in manager,
/// configured by property name from text, read through probe input pins attached to its
/// outputs, and given back to its factory when this object goes.
class QuillmeshCore_API HostedFilter
{
public:
    /// Poco::NotFoundException when no factory has the type name.
    HostedFilter(const std::string& typeName, const std::string& name,
                 PluginManager& manager = FlowManager::instance().getPluginManager());
    HostedFilter(const HostedFilter&) = delete;
    HostedFilter& operator=(const HostedFilter&) = delete;
    ~HostedFilter();

    Filter& getFilter() const { return *_filter; }

    /// Properties in creation order.
    std::vector<PropertyDescription> listProperties() const;
    /// Poco::NotFoundException for an unknown name.
    std::string getProperty(const std::string& name) const;
    /// Through the property's deSerialize: validation and the filter's handler apply, and
    /// their exceptions reach the caller.
    void setProperty(const std::string& name, const std::string& text);

    std::vector<std::string> getOutputPinNames() const;
    std::vector<std::string> getInputPinNames() const;

    /// A probe of the host's own attached to the named output pin. bufferSize 1 keeps the
    /// latest value, more a queue (LIFO or FIFO). Poco::NotFoundException for an unknown pin,
    /// Poco::InvalidArgumentException when the pin does not carry T. The probe lives as long
    /// as this object and may be read from any one thread while the filter works: when the
    /// output pin goes, the probe has no source (getSource() is null) until a pin of that
    /// name comes back, which the next process(), setProperty() or restore() attaches again.
    /// sameThread: the probe is read only by the thread that calls process(), between its
    /// calls; its buffer then needs no lock of its own.
    template <typename T>
    InputPin<T>& tap(const std::string& outputPin, std::size_t bufferSize = 1, bool lifo = true,
                     bool sameThread = false)
    {
        auto probe = std::make_unique<InputPin<T>>(outputPin, &_probes);
        probe->setBufferSize(bufferSize);
        probe->setIsLifo(lifo);
        probe->setIsSynchronous(sameThread);
        attachProbe(outputPin, *probe);
        InputPin<T>& result = *probe;
        Poco::FastMutex::ScopedLock lock(_tapsMutex);
        _taps.push_back(std::move(probe));
        return result;
    }

    /// Attaches the taps whose output pin was destroyed to a pin of the same name, if the
    /// filter has one again.
    void reattachTaps();

    /// One process() call under the filter's synchronizer.
    void process();

    void save(const std::string& path) const;
    std::vector<RestoreProblem> restore(const std::string& path);

private:
    void attachProbe(const std::string& outputPin, AbstractInputPin& probe);

    PluginManager& _manager;
    Filter* _filter;
    PinManager _probes;
    Poco::FastMutex _tapsMutex;
    std::vector<std::unique_ptr<AbstractInputPin>> _taps;
    /// The filter's pins generation when the taps were last mended; only process() uses it.
    std::uint64_t _attachedGeneration = ~std::uint64_t(0);
};

} // namespace Core
} // namespace Quillmesh

#endif
