// A DLL loaded at run time, like the device module, whose exceptions must reach the loader.
#include <Poco/Exception.h>

extern "C" __declspec(dllexport) int smokeAnswer()
{
    return 42;
}

extern "C" __declspec(dllexport) void smokeThrow()
{
    throw Poco::FileNotFoundException("COM5");
}
