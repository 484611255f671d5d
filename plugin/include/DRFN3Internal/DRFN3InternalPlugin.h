#ifndef DRFN3Internal_DRFN3InternalPlugin_INCLUDED
#define DRFN3Internal_DRFN3InternalPlugin_INCLUDED

#include "Quillmesh/Core/DefaultPlugin.h"

#if defined(_WIN32)
#define DRFN3INTERNAL_EXPORT __declspec(dllexport)
#else
#define DRFN3INTERNAL_EXPORT __attribute__((visibility("default")))
#endif

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
DRFN3INTERNAL_EXPORT void dllStartPlugin();
/// Uninstalls and deletes the plug-in; does nothing when it is not installed.
DRFN3INTERNAL_EXPORT void dllStopPlugin();
/// The framework version the module was built against.
DRFN3INTERNAL_EXPORT const char* dllGetQuillmeshVersion();
}

#endif
