// Winsock 2 for the sockets layer's own files on Windows, without the parts
// of <windows.h> (and its min/max macros) that the layer has no use for.
// Internal to transport; no header outside it includes this one.
#ifndef TW_TRANSPORT_WIN32_WINSOCK_HEADERS_H_
#define TW_TRANSPORT_WIN32_WINSOCK_HEADERS_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#endif  // TW_TRANSPORT_WIN32_WINSOCK_HEADERS_H_
