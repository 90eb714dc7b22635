#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The Winsock name of a socket error code, e.g. "WSAECONNRESET" for 10054.
std::string SocketErrorName(int32_t code);

// The Winsock code of the same meaning as an errno value (0 for 0).
int32_t WinsockErrorFromErrno(int err);

// Fills list with the dotted IPv4 addresses of the interfaces that are up and
// not loopback, in the system's order. False only when the interfaces cannot
// be listed. Raises when list is null.
bool GetNonLoopbackInterfaces(std::vector<std::string>* list);
