#pragma once

#include "midi/midiio.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace brl::Midi {

// MIDI over TCP. Each message travels as one fixed record of 20 bytes: the
// message word (status + 256 x data1 + 65536 x data2) as unsigned decimal ASCII
// digits, NUL-terminated and NUL-padded to 10 bytes, then 10 NUL bytes.
inline constexpr size_t kNetRecordSize = 20;
inline constexpr size_t kNetWordField = 10;
using NetRecord = std::array<char, kNetRecordSize>;

NetRecord EncodeNetRecord(const Event& event);
// The message word of a record. False when the first field is not 1 to 9
// decimal digits followed by a NUL, or the word does not fit in 24 bits: the
// sender is not speaking this protocol, or the stream is out of step.
bool DecodeNetRecord(const char* record, uint32_t& word);

// Listens on a TCP address and delivers the records of every connected client
// (up to kMaxClients at a time) on the stream's one thread. A record may arrive
// in pieces and several may arrive in one read; each client buffers at most
// kClientBuffer bytes. A client that disconnects or sends something that is not
// a record loses its connection; the listener carries on.
class NetInputStream : public InputStream {
public:
    static constexpr size_t kMaxClients = 8;
    static constexpr size_t kClientBuffer = 64 * kNetRecordSize;

    // port 0 lets the system choose (see BoundPort).
    NetInputStream(const Logging::Logger& logger, String address, int port);
    ~NetInputStream() override;

    // The port listened on while started, else 0.
    int BoundPort() const { return boundPort_.load(std::memory_order_acquire); }

protected:
    bool Open() override;
    void Close() override;

private:
    struct Client;
    void Run();
    bool Listen();
    // Reads what a client has sent; false when the connection is to be closed.
    bool Receive(Client& client);

    String address_;
    int port_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<int> boundPort_{0};
    std::unique_ptr<Threads::Thread> thread_;
};

// Sends each event as one record to a TCP server. Connects when started (with
// a time-out), so a missing server does not hold up the program.
class NetOutputStream : public OutputStream {
public:
    static constexpr int kConnectTimeoutMs = 3000;

    NetOutputStream(const Logging::Logger& logger, String hostname, int port);
    ~NetOutputStream() override;

protected:
    bool Open() override;
    void Close() override;
    bool Transmit(const Event& event) noexcept override;

private:
    bool Connect();

    String hostname_;
    int port_;
    std::atomic<int> fd_{-1};
};

// The "netwin32" backend. Settings under the key prefix: "Net/Input/Enabled"
// (false), "Net/Input/Port" (4000), "Net/Input/Address" ("127.0.0.1": only
// this machine may connect unless the setting says otherwise),
// "Net/Output/Enabled" (false), "Net/Output/Port" (4000),
// "Net/Output/Hostname" ("localhost").
class IoNet : public Io {
public:
    static constexpr int kDefaultPort = 4000;

    static std::unique_ptr<Io> Create(const Logging::Logger& logger, Config::Frontend& frontend,
                                      const String& keyPrefix);
    // The streams, or nullptr when not enabled.
    NetInputStream* Input() const { return input_; }
    NetOutputStream* Output() const { return output_; }

private:
    explicit IoNet(const Logging::Logger& logger);

    NetInputStream* input_ = nullptr;
    NetOutputStream* output_ = nullptr;
};

} // namespace brl::Midi
