#ifndef DRFN3Internal_DRFN3Internal_INCLUDED
#define DRFN3Internal_DRFN3Internal_INCLUDED

// DRFN3Internal_API marks what the DRFN3Internal library offers its users: exported from the DLL while it is
// built, imported by the programs and libraries that use it (Windows); on other systems the
// default visibility.

#if defined(_WIN32) && !defined(DRFN3Internal_STATIC)
#if defined(DRFN3Internal_EXPORTS)
#define DRFN3Internal_API __declspec(dllexport)
#else
#define DRFN3Internal_API __declspec(dllimport)
#endif
#endif

#if !defined(DRFN3Internal_API)
#if defined(__GNUC__)
#define DRFN3Internal_API __attribute__((visibility("default")))
#else
#define DRFN3Internal_API
#endif
#endif

#endif
