// The one export macro of the provider module. Everything is built with
// hidden visibility; only functions marked TW_EXPORT (the MSSCCI and
// extension entry points) are visible, and the linker version script keeps
// even those to the Scc* and VelScc* names.
#ifndef TW_PLATFORM_EXPORT_H_
#define TW_PLATFORM_EXPORT_H_

#define TW_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // TW_PLATFORM_EXPORT_H_
