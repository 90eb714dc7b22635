#include "support/SilentListener.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

TSilentListener::TSilentListener() {
    m_handle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_handle >= 0 && ::bind(m_handle, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::listen(m_handle, 8) == 0 &&
        ::getsockname(m_handle, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

TSilentListener::~TSilentListener() {
    Close();
}

void TSilentListener::Close() {
    if (m_handle >= 0)
        ::close(m_handle);
    m_handle = -1;
}
