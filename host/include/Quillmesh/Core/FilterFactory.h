#ifndef Quillmesh_Core_FilterFactory_INCLUDED
#define Quillmesh_Core_FilterFactory_INCLUDED

#include "Quillmesh/Core/AbstractFactory.h"
#include "Quillmesh/Core/Filter.h"

namespace Quillmesh {
namespace Core {

/// Factory of filters of class T, registered under T::TYPE_NAME (a static const char*
/// or char array), which T::getTypeName() must return too.
template <typename T>
class FilterFactory : public AbstractFilterFactory
{
public:
    using AbstractFilterFactory::AbstractFilterFactory;

    void destroy(Filter* filter) override { delete filter; }
    const char* getTypeName() const override { return T::TYPE_NAME; }
    Filter* create(const std::string& name) override { return new T(name); }
};

} // namespace Core
} // namespace Quillmesh

#endif
