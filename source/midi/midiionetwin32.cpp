#include "midi/midiionetwin32.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace brl::Midi {

namespace {

String ErrorText(int error) {
    return FromUtf8(std::strerror(error));
}

String GaiErrorText(int error) {
    return FromUtf8(::gai_strerror(error));
}

// "address:port" of a socket address.
String AddressText(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    int port = 0;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof(host));
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof(host));
        port = ntohs(v6.sin6_port);
    }
    return FromUtf8(host) + L":" + std::to_wstring(port);
}

int PortOf(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    return 0;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

} // namespace

NetRecord EncodeNetRecord(const Event& event) {
    NetRecord record{};
    const uint32_t word = event.status + 256u * event.data1 + 65536u * event.data2;
    char digits[kNetWordField + 1] = {};
    const int length = std::snprintf(digits, sizeof(digits), "%u", word);
    std::memcpy(record.data(), digits, static_cast<size_t>(length));
    return record;
}

bool DecodeNetRecord(const char* record, uint32_t& word) {
    size_t digits = 0;
    uint32_t value = 0;
    while (digits < kNetWordField && record[digits] >= '0' && record[digits] <= '9') {
        value = value * 10 + static_cast<uint32_t>(record[digits] - '0');
        ++digits;
    }
    if (digits == 0 || digits == kNetWordField || record[digits] != '\0' || value > 0xFFFFFF) {
        return false;
    }
    word = value;
    return true;
}

// NetInputStream

struct NetInputStream::Client {
    int fd = -1;
    String peer;
    char buffer[kClientBuffer];
    size_t filled = 0;
};

NetInputStream::NetInputStream(const Logging::Logger& logger, String address, int port)
    : InputStream(L"Net - Midi Input", logger), address_(std::move(address)), port_(port) {}

NetInputStream::~NetInputStream() {
    Stop();
}

bool NetInputStream::Listen() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string host = ToUtf8(address_);
    const std::string service = std::to_string(port_);
    const int resolved =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        BRL_LOG_ERROR(logger_, "cannot resolve midi input address '", address_,
                      "': ", GaiErrorText(resolved));
        return false;
    }
    int error = 0;
    for (addrinfo* candidate = found; candidate != nullptr; candidate = candidate->ai_next) {
        const int fd =
            ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (::bind(fd, candidate->ai_addr, candidate->ai_addrlen) == 0 && ::listen(fd, 4) == 0) {
            listenFd_ = fd;
            break;
        }
        error = errno;
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0) {
        BRL_LOG_ERROR(logger_, "cannot listen for midi on ", address_, ":", port_, ": ", ErrorText(error));
        return false;
    }
    boundPort_.store(PortOf(listenFd_), std::memory_order_release);
    BRL_LOG_INFO(logger_, "listening for midi on ", address_, ":", BoundPort());
    return true;
}

bool NetInputStream::Open() {
    if (port_ < 0 || port_ > 65535) {
        BRL_LOG_ERROR(logger_, "invalid midi input port ", port_);
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        BRL_LOG_ERROR(logger_, "Creating midi event FAILED.");
        return false;
    }
    if (!Listen()) {
        CloseFd(wakeFd_);
        return false;
    }
    thread_ = std::make_unique<Threads::Thread>([this] {
        Threads::CurrentThreadOps::SetName(L"midi net in");
        Threads::CurrentThreadOps::SetPriority(Threads::PriorityTimeCritical);
        Run();
    });
    if (!thread_->Start()) {
        BRL_LOG_ERROR(logger_, "Creating midi thread FAILED.");
        thread_.reset();
        CloseFd(listenFd_);
        CloseFd(wakeFd_);
        boundPort_.store(0, std::memory_order_release);
        return false;
    }
    return true;
}

void NetInputStream::Close() {
    const uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof(one)) < 0) {
        BRL_LOG_ERROR(logger_, "waking the midi input thread failed: ", ErrorText(errno));
    }
    if (thread_ != nullptr) {
        thread_->Join();
        thread_.reset();
    }
    CloseFd(listenFd_);
    CloseFd(wakeFd_);
    boundPort_.store(0, std::memory_order_release);
}

bool NetInputStream::Receive(Client& client) {
    const ssize_t received =
        ::recv(client.fd, client.buffer + client.filled, kClientBuffer - client.filled, 0);
    if (received == 0) {
        BRL_LOG_INFO(logger_, "midi connection from ", client.peer, " closed");
        return false;
    }
    if (received < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
            return true;
        }
        BRL_LOG_WARNING(logger_, "midi connection from ", client.peer, " failed: ", ErrorText(errno));
        return false;
    }
    client.filled += static_cast<size_t>(received);
    size_t offset = 0;
    bool keep = true;
    while (keep && client.filled - offset >= kNetRecordSize) {
        uint32_t word = 0;
        if (DecodeNetRecord(client.buffer + offset, word)) {
            Deliver(Stamp(static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>((word >> 8) & 0xFF),
                          static_cast<uint8_t>((word >> 16) & 0xFF)));
        } else {
            BRL_LOG_WARNING(logger_, "malformed midi record from ", client.peer, ", closing the connection");
            keep = false;
        }
        offset += kNetRecordSize;
    }
    std::memmove(client.buffer, client.buffer + offset, client.filled - offset);
    client.filled -= offset;
    return keep;
}

void NetInputStream::Run() {
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<pollfd> fds;
    bool running = true;
    while (running) {
        fds.clear();
        fds.push_back({wakeFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (const auto& client : clients) {
            fds.push_back({client->fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno != EINTR) {
                BRL_LOG_ERROR(logger_, "waiting for midi input failed: ", ErrorText(errno));
                break;
            }
            continue;
        }
        if (fds[0].revents != 0) {
            running = false;
            continue;
        }
        // Clients first: the indices in fds refer to the list as it was.
        for (size_t i = clients.size(); i-- > 0;) {
            if (fds[2 + i].revents == 0) {
                continue;
            }
            bool keep = false;
            try {
                keep = Receive(*clients[i]);
            } catch (...) {
                keep = false;
            }
            if (!keep) {
                CloseFd(clients[i]->fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (fds[1].revents != 0) {
            sockaddr_storage peer{};
            socklen_t length = sizeof(peer);
            int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                    BRL_LOG_WARNING(logger_, "accepting a midi connection failed: ", ErrorText(errno));
                }
                continue;
            }
            if (clients.size() >= kMaxClients) {
                BRL_LOG_WARNING(logger_, "too many midi connections, refusing ", AddressText(peer));
                CloseFd(fd);
                continue;
            }
            auto client = std::make_unique<Client>();
            client->fd = fd;
            client->peer = AddressText(peer);
            BRL_LOG_INFO(logger_, "midi connection from ", client->peer);
            clients.push_back(std::move(client));
        }
    }
    for (auto& client : clients) {
        CloseFd(client->fd);
    }
}

// NetOutputStream

NetOutputStream::NetOutputStream(const Logging::Logger& logger, String hostname, int port)
    : OutputStream(L"Net - Midi Output", logger), hostname_(std::move(hostname)), port_(port) {}

NetOutputStream::~NetOutputStream() {
    Stop();
}

bool NetOutputStream::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string host = ToUtf8(hostname_);
    const std::string service = std::to_string(port_);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        BRL_LOG_CRITICAL(logger_, "cannot resolve midi output host '", hostname_,
                         "': ", GaiErrorText(resolved));
        return false;
    }
    int error = ECONNREFUSED;
    int connected = -1;
    for (addrinfo* candidate = found; candidate != nullptr && connected < 0; candidate = candidate->ai_next) {
        const int fd = ::socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                candidate->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        int result = ::connect(fd, candidate->ai_addr, candidate->ai_addrlen);
        if (result != 0 && errno == EINPROGRESS) {
            pollfd wait{fd, POLLOUT, 0};
            result = ::poll(&wait, 1, kConnectTimeoutMs);
            if (result == 1) {
                socklen_t length = sizeof(error);
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                result = error == 0 ? 0 : -1;
            } else {
                error = result == 0 ? ETIMEDOUT : errno;
                result = -1;
            }
        } else if (result != 0) {
            error = errno;
        }
        if (result == 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            connected = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (connected < 0) {
        BRL_LOG_CRITICAL(logger_, "cannot connect to midi output ", hostname_, ":", port_, ": ",
                         ErrorText(error));
        return false;
    }
    fd_.store(connected, std::memory_order_release);
    BRL_LOG_INFO(logger_, "midi output connected to ", hostname_, ":", port_);
    return true;
}

bool NetOutputStream::Open() {
    if (port_ <= 0 || port_ > 65535) {
        BRL_LOG_CRITICAL(logger_, "invalid midi output port ", port_);
        return false;
    }
    if (!Connect()) {
        return false;
    }
    if (!OpenPump()) {
        int fd = fd_.exchange(-1);
        CloseFd(fd);
        return false;
    }
    return true;
}

void NetOutputStream::Close() {
    ClosePump();
    int fd = fd_.exchange(-1);
    CloseFd(fd);
}

bool NetOutputStream::Transmit(const Event& event) noexcept {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) {
        return false;
    }
    const NetRecord record = EncodeNetRecord(event);
    size_t sent = 0;
    while (sent < record.size()) {
        // MSG_NOSIGNAL: a closed peer must not raise SIGPIPE and end the program.
        const ssize_t result = ::send(fd, record.data() + sent, record.size() - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            try {
                BRL_LOG_ERROR(logger_, "sending to midi output ", hostname_, ":", port_,
                              " failed: ", ErrorText(error));
            } catch (...) {
                // The failure is reported by the return value all the same.
            }
            // Later events are dropped until the stream is started again.
            int broken = fd_.exchange(-1);
            CloseFd(broken);
            return false;
        }
        sent += static_cast<size_t>(result);
    }
    return true;
}

// IoNet

IoNet::IoNet(const Logging::Logger& logger) : Io(L"netwin32", logger) {}

std::unique_ptr<Io> IoNet::Create(const Logging::Logger& logger, Config::Frontend& frontend,
                                  const String& keyPrefix) {
    std::unique_ptr<IoNet> io(new IoNet(logger));
    const Config::Setting<bool> inputEnabled(frontend, keyPrefix + L"/Net/Input/Enabled", false);
    const Config::Setting<int> inputPort(frontend, keyPrefix + L"/Net/Input/Port", kDefaultPort);
    const Config::Setting<String> inputAddress(frontend, keyPrefix + L"/Net/Input/Address", L"127.0.0.1");
    const Config::Setting<bool> outputEnabled(frontend, keyPrefix + L"/Net/Output/Enabled", false);
    const Config::Setting<int> outputPort(frontend, keyPrefix + L"/Net/Output/Port", kDefaultPort);
    const Config::Setting<String> outputHost(frontend, keyPrefix + L"/Net/Output/Hostname", L"localhost");
    if (inputEnabled.Get()) {
        auto stream = std::make_unique<NetInputStream>(logger, inputAddress.Get(), inputPort.Get());
        io->input_ = stream.get();
        io->AddInput(std::move(stream));
    }
    if (outputEnabled.Get()) {
        auto stream = std::make_unique<NetOutputStream>(logger, outputHost.Get(), outputPort.Get());
        io->output_ = stream.get();
        io->AddOutput(std::move(stream));
    }
    io->LogInterfaces();
    return io;
}

} // namespace brl::Midi
