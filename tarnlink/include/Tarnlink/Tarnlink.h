#ifndef Tarnlink_Tarnlink_INCLUDED
#define Tarnlink_Tarnlink_INCLUDED

// Tarnlink_API marks what the Tarnlink library offers its users: exported from the DLL while it is
// built, imported by the programs and libraries that use it (Windows); on other systems the
// default visibility.

#if defined(_WIN32) && !defined(Tarnlink_STATIC)
#if defined(Tarnlink_EXPORTS)
#define Tarnlink_API __declspec(dllexport)
#else
#define Tarnlink_API __declspec(dllimport)
#endif
#endif

#if !defined(Tarnlink_API)
#if defined(__GNUC__)
#define Tarnlink_API __attribute__((visibility("default")))
#else
#define Tarnlink_API
#endif
#endif

#endif
