#include "nomrel/tool/Feed.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace nomrel::tool
{

namespace
{

// One connected client and where it is in its feed.
struct Client {
    Fd fd;
    timespec start {};
    std::time_t walkStart = 0;
    long cycle = 0; // the next to send
    std::string pending; // sent in part: the rest
};

// More than this unsent means the client does not read: it is dropped.
constexpr std::size_t kMostPending = 1 << 16;

double secondsSince(const timespec& start, const timespec& now)
{
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Sends what the socket takes now; false when the client is gone.
bool flush(Client& client)
{
    while (!client.pending.empty()) {
        const ssize_t n = ::send(client.fd.get(), client.pending.data(), client.pending.size(), MSG_NOSIGNAL);
        if (n > 0)
            client.pending.erase(0, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    return true;
}

} // namespace

int serve(const FeedOptions& options, const std::string& file)
{
    std::vector<std::string> cycles;
    if (!file.empty() && !readLog(file, cycles))
        return 1;
    installStopHandlers();

    const Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int yes = 1;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    socklen_t length = sizeof address;
    if (listener.get() < 0 || ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0
        || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listener.get(), 16) != 0
        || ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::fprintf(stderr, "nomrel: cannot listen on 127.0.0.1:%d: %s\n", options.port, std::strerror(errno));
        return 1;
    }
    std::printf("nomrel: NMEA on tcp://127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    std::vector<Client> clients;
    WalkQuality walk;
    walk.fromLatitude = options.fromLatitude;
    walk.fromLongitude = options.fromLongitude;
    while (!stopRequested()) {
        // Feed every client whose next cycle is due, and find the next due time.
        const timespec now = monotonicNow();
        int timeoutMs = -1;
        for (Client& client : clients) {
            const bool more = cycles.empty() || options.loop || client.cycle < static_cast<long>(cycles.size());
            if (!more)
                continue;
            const double due = static_cast<double>(client.cycle) / options.rate - secondsSince(client.start, now);
            if (due <= 0) {
                client.pending += cycles.empty() ? walkCycle(client.cycle, options.rate, client.walkStart, true, walk)
                                                 : cycles[static_cast<std::size_t>(client.cycle) % cycles.size()];
                ++client.cycle;
                timeoutMs = 0;
            } else {
                const int ms = static_cast<int>(due * 1000.0) + 1;
                timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
            }
        }
        clients.erase(std::remove_if(clients.begin(), clients.end(),
                          [](Client& client) { return !flush(client) || client.pending.size() > kMostPending; }),
            clients.end());

        std::vector<pollfd> polled {{listener.get(), POLLIN, 0}};
        for (const Client& client : clients)
            polled.push_back(
                {client.fd.get(), static_cast<short>(client.pending.empty() ? POLLIN : POLLIN | POLLOUT), 0});
        if (::poll(polled.data(), polled.size(), timeoutMs) < 0 && errno != EINTR)
            break;

        // What a client sends is read and dropped; its end, or an error, ends it.
        for (std::size_t i = clients.size(); i-- > 0;) {
            const short events = polled[i + 1].revents;
            if (!(events & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[512];
            const ssize_t n = ::recv(clients[i].fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (polled[0].revents & POLLIN) {
            Fd accepted(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (accepted.get() >= 0) {
                Client client;
                client.fd = std::move(accepted);
                client.start = monotonicNow();
                client.walkStart = std::time(nullptr);
                clients.push_back(std::move(client));
            }
        }
    }
    std::printf("nomrel: stopped\n");
    return 0;
}

} // namespace nomrel::tool
