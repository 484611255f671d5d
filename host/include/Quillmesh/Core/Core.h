#ifndef Quillmesh_Core_Core_INCLUDED
#define Quillmesh_Core_Core_INCLUDED

// QuillmeshCore_API marks what the QuillmeshCore library offers its users: exported from the DLL while it is
// built, imported by the programs and libraries that use it (Windows); on other systems the
// default visibility.

#if defined(_WIN32) && !defined(QuillmeshCore_STATIC)
#if defined(QuillmeshCore_EXPORTS)
#define QuillmeshCore_API __declspec(dllexport)
#else
#define QuillmeshCore_API __declspec(dllimport)
#endif
#endif

#if !defined(QuillmeshCore_API)
#if defined(__GNUC__)
#define QuillmeshCore_API __attribute__((visibility("default")))
#else
#define QuillmeshCore_API
#endif
#endif

#endif
