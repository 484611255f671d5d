#ifndef DRFN3Internal_DRFN3InternalPlugin_INCLUDED
#define DRFN3Internal_DRFN3InternalPlugin_INCLUDED

#include "DRFN3Internal/DRFN3Internal.h"
#include "Quillmesh/Core/DefaultPlugin.h"

namespace DRFN3Internal {

/// The module's one plug-in: offers FilterDRFN3 and FilterOrientation through filter factories.
class DRFN3InternalPlugin : public Quillmesh::Core::DefaultPlugin
{
public:
    DRFN3InternalPlugin();
    ~DRFN3InternalPlugin() override;
};

} // namespace DRFN3Internal

extern "C" {
/// Creates and installs the plug-in; a second call without a stop does nothing.
DRFN3Internal_API void dllStartPlugin();
/// Uninstalls and deletes the plug-in; does nothing when it is not installed.
DRFN3Internal_API void dllStopPlugin();
/// The framework version the module was built against.
DRFN3Internal_API const char* dllGetQuillmeshVersion();
}

#endif
