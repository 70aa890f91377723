#include "listener.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A fleet of clients connects all at once; the queue must hold them while they wait. The
// kernel caps it at net.core.somaxconn.
constexpr int wantedBacklog = 1024;

}  // namespace

Listener::Listener(const QHostAddress &address, quint16 port, bool fullQueue, std::function<void()> waiting)
    : address_(address), port_(port), fullQueue_(fullQueue), waiting_(std::move(waiting))
{
}

Listener::~Listener()
{
    close();
}

int Listener::backlog()
{
    return std::max(wantedBacklog, SOMAXCONN);
}

bool Listener::listen(QString *error)
{
    if (!fullQueue_) {
        fd_ = boundSocket(backlog(), error);
        if (fd_ < 0)
            return false;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] { waiting_(); });
        return true;
    }
    // A listener with backlog 0 whose one queue slot we take ourselves: the kernel drops
    // every further SYN, so the client's connect neither succeeds nor is refused.
    const int listener = boundSocket(0, error);
    if (listener < 0)
        return false;
    rawSockets_.append(listener);
    sockaddr_storage where{};
    socklen_t size = sizeof where;
    if (getsockname(listener, reinterpret_cast<sockaddr *>(&where), &size) != 0) {
        *error = QStringLiteral("getsockname: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        close();
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        const int filler = socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (filler < 0) {
            *error = QStringLiteral("a socket to fill the accept queue: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            close();
            return false;
        }
        rawSockets_.append(filler);
        // Non-blocking: the first is queued at once, the second waits for a slot that never
        // comes. Either way the connect is under way, not refused.
        if (::connect(filler, reinterpret_cast<sockaddr *>(&where), size) != 0 && errno != EINPROGRESS) {
            *error = QStringLiteral("cannot fill the accept queue: connect: %1")
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            close();
            return false;
        }
    }
    return true;
}

void Listener::close()
{
    delete notifier_;
    notifier_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    for (int fd : rawSockets_)
        ::close(fd);
    rawSockets_.clear();
}

int Listener::take()
{
    if (fd_ < 0) {
        errno = EAGAIN;
        return -1;
    }
    return accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

void Listener::setWatching(bool watching)
{
    if (notifier_)
        notifier_->setEnabled(watching);
}

bool socketAddressOf(const QHostAddress &address, quint16 port, sockaddr_storage *where, socklen_t *size,
                     QString *error)
{
    *where = sockaddr_storage{};
    if (address.protocol() != QAbstractSocket::IPv6Protocol) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(where);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        v4->sin_addr.s_addr = htonl(address.toIPv4Address());
        *size = sizeof *v4;
        return true;
    }
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(where);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    std::memcpy(&v6->sin6_addr, &bytes, sizeof bytes);
    *size = sizeof *v6;
    const QString scope = address.scopeId();
    if (scope.isEmpty())
        return true;
    bool numeric = false;
    const uint index = scope.toUInt(&numeric);
    v6->sin6_scope_id = numeric ? index : if_nametoindex(scope.toLocal8Bit().constData());
    if (v6->sin6_scope_id == 0) {
        *error = QStringLiteral("no interface is named '%1'").arg(scope);
        return false;
    }
    return true;
}

// A listening socket on the address, or -1 with the reason.
int Listener::boundSocket(int queue, QString *error)
{
    sockaddr_storage where{};
    socklen_t size = 0;
    if (!socketAddressOf(address_, port_, &where, &size, error))
        return -1;
    const int fd = socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = whyNot(errno);
        return -1;
    }
    const int yes = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0) {
        *error = QStringLiteral("setsockopt SO_REUSEADDR: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        ::close(fd);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), size) != 0 || ::listen(fd, queue) != 0) {
        *error = whyNot(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

QString Listener::whyNot(int error) const
{
    switch (error) {
    case EACCES:
        return QStringLiteral("ports below 1024 need root; run it as root, or inside scripts/in-namespace");
    case EADDRINUSE:
        return QStringLiteral("%1 port %2 is in use; is another device_sim running there?")
            .arg(address_.toString())
            .arg(port_);
    case EADDRNOTAVAIL:
        return QStringLiteral("no interface of this machine has the address %1").arg(address_.toString());
    default:
        return QString::fromLocal8Bit(std::strerror(error));
    }
}
