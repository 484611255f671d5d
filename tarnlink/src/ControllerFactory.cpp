#include <Tarnlink/ControllerFactory.h>

namespace Tarnlink {

ControllerFactory::~ControllerFactory() = default;

} // namespace Tarnlink
