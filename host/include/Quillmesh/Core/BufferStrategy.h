#ifndef Quillmesh_Core_BufferStrategy_INCLUDED
#define Quillmesh_Core_BufferStrategy_INCLUDED

// The buffer strategies an input pin chooses from, and the buffers they hold.
#include "Quillmesh/Core/AbstractBufferStrategy.h"
#include "Quillmesh/Core/QueueBuffer.h"
#include "Quillmesh/Core/SimpleBufferStrategy.h"
#include "Quillmesh/Core/SingleValueBuffer.h"
#include "Quillmesh/Core/SingleValuePtrBuffer.h"
#include "Quillmesh/Core/SynchronizedBufferStrategy.h"
#include "Quillmesh/Core/ThreadSafeBufferStrategy.h"

#endif
