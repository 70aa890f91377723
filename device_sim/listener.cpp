#include "listener.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

Listener::Listener(const QHostAddress &address, quint16 port, bool fullQueue)
    : address_(address), port_(port), fullQueue_(fullQueue)
{
}

Listener::~Listener()
{
    close();
}

bool Listener::listen(QString *error)
{
    if (fullQueue_)
        return listenWithFullQueue(error);
    if (server_.listen(address_, port_))
        return true;
    switch (server_.serverError()) {
    case QAbstractSocket::SocketAccessError:
        *error = whyNot(EACCES);
        break;
    case QAbstractSocket::AddressInUseError:
        *error = whyNot(EADDRINUSE);
        break;
    case QAbstractSocket::SocketAddressNotAvailableError:
        *error = whyNot(EADDRNOTAVAIL);
        break;
    default:
        *error = server_.errorString();
    }
    return false;
}

void Listener::close()
{
    server_.close();
    for (int fd : rawSockets_)
        ::close(fd);
    rawSockets_.clear();
}

QString Listener::whyNot(int error) const
{
    switch (error) {
    case EACCES:
        return QStringLiteral("ports below 1024 need root; run it as root, or inside scripts/in-namespace");
    case EADDRINUSE:
        return QStringLiteral("%1 port %2 is in use; is another device_sim running there?")
            .arg(address_.toString()).arg(port_);
    case EADDRNOTAVAIL:
        return QStringLiteral("no interface of this machine has the address %1").arg(address_.toString());
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}

// A listener with backlog 0 whose one queue slot we take ourselves: the kernel drops
// every further SYN, so the client's connect neither succeeds nor is refused.
bool Listener::listenWithFullQueue(QString *error)
{
    sockaddr_storage where{};
    socklen_t size = 0;
    const int family = address_.protocol() == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    if (family == AF_INET) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&where);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port_);
        v4->sin_addr.s_addr = htonl(address_.toIPv4Address());
        size = sizeof *v4;
    } else {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&where);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port_);
        const Q_IPV6ADDR address = address_.toIPv6Address();
        std::memcpy(&v6->sin6_addr, &address, sizeof address);
        size = sizeof *v6;
    }
    const int listener = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    rawSockets_.append(listener);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(listener, reinterpret_cast<sockaddr *>(&where), size) != 0 || ::listen(listener, 0) != 0) {
        *error = whyNot(errno);
        close();
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const int filler = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(filler, reinterpret_cast<sockaddr *>(&where), size);
        rawSockets_.append(filler);
    }
    return true;
}
