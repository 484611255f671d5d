#ifndef Quillmesh_Core_AbstractFactory_INCLUDED
#define Quillmesh_Core_AbstractFactory_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/ComponentVersion.h"

#include <string>

namespace Quillmesh {
namespace Core {

class Filter;

/// Makes and unmakes products of one type name on behalf of a plug-in.
template <typename Product>
class AbstractFactory
{
public:
    AbstractFactory(const std::string& providerName, const ComponentVersion& version)
        : providerName(providerName), version(version)
    {
    }
    virtual ~AbstractFactory() = default;

    /// Deletes a product made by create(); null is ignored.
    virtual void destroy(Product* product) = 0;
    virtual const char* getTypeName() const = 0;
    virtual Product* create(const std::string& name) = 0;

    const std::string& getProviderName() const { return providerName; }
    const ComponentVersion& getVersion() const { return version; }

protected:
    std::string providerName;
    ComponentVersion version;
};

class QuillmeshCore_API AbstractFilterFactory : public AbstractFactory<Filter>
{
public:
    using AbstractFactory<Filter>::AbstractFactory;
};

} // namespace Core
} // namespace Quillmesh

#endif
