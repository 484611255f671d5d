#ifndef Quillmesh_Core_RangeProperty_INCLUDED
#define Quillmesh_Core_RangeProperty_INCLUDED

#include "Quillmesh/Core/ValueProperty.h"

#include <sstream>

namespace Quillmesh {
namespace Core {

/// A number within [min;max]. The step is shown to users but not enforced.
template <typename T>
class RangeProperty : public ValueProperty<T>
{
public:
    RangeProperty(const std::string& name, PropertyBag* bag, T min = T(0), T max = T(0), T step = T(1))
        : ValueProperty<T>(name, bag), _min(min), _max(max), _step(step)
    {
        if (min > max) throw Poco::InvalidArgumentException("Property '" + name + "': empty range");
        if (this->_value < _min || this->_value > _max) this->_value = _min;
    }

    void accept(Util::System::AbstractVisitor& visitor) const override
    {
        if (!AbstractProperty::acceptImpl<RangeProperty>(*this, visitor)) AbstractProperty::accept(visitor);
    }

    /// A value outside the new range is replaced by the minimum, without the handler; observers
    /// hear of that value as of any other.
    void setRange(T min, T max, T step)
    {
        if (min > max) throw Poco::InvalidArgumentException("Property '" + this->getName() + "': empty range");
        {
            Synchronizer::DisablerLocker lock(&this->getSynchronizer());
            _min = min;
            _max = max;
            _step = step;
            if (this->_value < _min || this->_value > _max)
            {
                ScopedChangeValueNotifier notifier(this, this->hasObservers());
                this->_value = _min;
            }
        }
        this->notifyAttributeChanged();
    }

    T getMin() const
    {
        Synchronizer::DisablerLocker lock(&this->getSynchronizer());
        return _min;
    }
    T getMax() const
    {
        Synchronizer::DisablerLocker lock(&this->getSynchronizer());
        return _max;
    }
    T getStep() const
    {
        Synchronizer::DisablerLocker lock(&this->getSynchronizer());
        return _step;
    }

    void validate(const T& value) override
    {
        this->checkWritable();
        if (value < _min || value > _max)
        {
            std::ostringstream text;
            text << value << " does not fit in [" << _min << ";" << _max << "], (step : " << _step << ")";
            throw Poco::RangeException(text.str());
        }
        this->callHandler(value);
    }

private:
    T _min;
    T _max;
    T _step;
};

} // namespace Core
} // namespace Quillmesh

#endif
