#ifndef Quillmesh_Core_Version_INCLUDED
#define Quillmesh_Core_Version_INCLUDED

#include "Quillmesh/Core/Core.h"

/// Version of this framework; modules report the one they were built against.
#define QUILLMESH_CORE_VERSION "0.10.0"

namespace Quillmesh {
namespace Core {

QuillmeshCore_API const char* getFrameworkVersion();

} // namespace Core
} // namespace Quillmesh

#endif
