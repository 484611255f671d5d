#ifndef Tarnlink_Sim_Sim_INCLUDED
#define Tarnlink_Sim_Sim_INCLUDED

// TarnlinkSim_API marks what the TarnlinkSim library offers its users: exported from the DLL while it is
// built, imported by the programs and libraries that use it (Windows); on other systems the
// default visibility.

#if defined(_WIN32) && !defined(TarnlinkSim_STATIC)
#if defined(TarnlinkSim_EXPORTS)
#define TarnlinkSim_API __declspec(dllexport)
#else
#define TarnlinkSim_API __declspec(dllimport)
#endif
#endif

#if !defined(TarnlinkSim_API)
#if defined(__GNUC__)
#define TarnlinkSim_API __attribute__((visibility("default")))
#else
#define TarnlinkSim_API
#endif
#endif

#endif
