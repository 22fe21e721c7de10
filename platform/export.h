// The one export macro of the provider module. Everything is built with
// hidden visibility; only functions marked TW_EXPORT (the MSSCCI and
// extension entry points) are visible, and the linker version script keeps
// even those to the Scc* and VelScc* names. On Windows the same functions
// are the DLL's exports, under their undecorated C names (__cdecl), and
// nothing else is.
#ifndef TW_PLATFORM_EXPORT_H_
#define TW_PLATFORM_EXPORT_H_

#ifdef _WIN32
#define TW_EXPORT extern "C" __declspec(dllexport)
#else
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif  // TW_PLATFORM_EXPORT_H_
