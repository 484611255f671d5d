#ifndef Quillmesh_Core_FlowManager_INCLUDED
#define Quillmesh_Core_FlowManager_INCLUDED

#include "Quillmesh/Core/PluginManager.h"

#endif
