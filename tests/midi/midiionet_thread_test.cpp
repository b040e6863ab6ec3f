#include "midi/midiio.h"
#include "midi/midiionetwin32.h"
#include "midi_test_support.h"
#include "support/log_capture.h"
#include "support/rendering_thread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using brl::Midi::Event;
using brl::Midi::IoMaster;
using brl::Midi::NetInputStream;
using brl::testing::LogCapture;
using OptionConfig = brl::testing::CommandLineSettings;

namespace {

// A TCP client socket, closed with the object.
struct Client {
    Client(const char* address, int port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &target.sin_addr);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
    }
    ~Client() { Close(); }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void Close() { fd = fd >= 0 ? (::close(fd), -1) : -1; }
    // True when the server closes the connection within ten seconds.
    bool ClosedByPeer() {
        pollfd wait{fd, POLLIN, 0};
        char byte = 0;
        return ::poll(&wait, 1, 10000) == 1 && ::recv(fd, &byte, 1, 0) <= 0;
    }

    int fd = -1;
    bool connected = false;
};

std::string Record(uint8_t status, uint8_t data1, uint8_t data2) {
    const brl::Midi::NetRecord record = brl::Midi::EncodeNetRecord(Event(status, data1, data2));
    return std::string(record.data(), record.size());
}

constexpr std::chrono::milliseconds kPause(30);

// A started network input (on a port the system chooses) and what it delivers.
struct NetInput {
    explicit NetInput(std::vector<brl::String> options = {})
        : config(
              (options.insert(options.begin(), {L"--Midi-Backends", L"netwin32", L"--Midi-Net-Input-Enabled",
                                                L"1", L"--Midi-Net-Input-Port", L"0"}),
               options)) {
        stream = static_cast<brl::Midi::IoNet*>(master.FindBackend(L"netwin32"))->Input();
        started = stream != nullptr && stream->Start(&events);
    }
    int Port() const { return stream->BoundPort(); }

    OptionConfig config;
    LogCapture log;
    brl::testing::EventCollector events; // outlives the master, which stops the stream
    IoMaster master{&log, config.Frontend()};
    NetInputStream* stream = nullptr;
    bool started = false;
};

} // namespace

TEST(MidiOverTcp, RecordsArriveWholeWhetherSplitOrBatched) {
    NetInput input;
    ASSERT_TRUE(input.started);
    Client client("127.0.0.1", input.Port());
    ASSERT_TRUE(client.connected);
    const std::string first = Record(0x90, 60, 127);
    for (const auto& [from, length] : {std::pair{0, 1}, {1, 9}, {10, 7}, {17, 3}}) {
        client.Send(first.substr(from, length));
        std::this_thread::sleep_for(kPause);
    }
    ASSERT_TRUE(input.events.WaitFor(1));
    const std::string batch = Record(0xB1, 7, 100) + Record(0xC2, 40, 0) + Record(0x80, 60, 64);
    const std::string last = Record(0xE0, 0, 0x40);
    client.Send(batch + last.substr(0, 13));
    std::this_thread::sleep_for(kPause);
    client.Send(last.substr(13));
    ASSERT_TRUE(input.events.WaitFor(5));
    EXPECT_EQ(input.events.Text(), "903C7F B10764 C22800 803C40 E00040");
}

TEST(MidiOverTcp, GarbageOrADisconnectEndsOnlyThatConnection) {
    NetInput input;
    ASSERT_TRUE(input.started);
    Client steady("127.0.0.1", input.Port());
    Client rude("127.0.0.1", input.Port());
    Client quitter("127.0.0.1", input.Port());
    ASSERT_TRUE(steady.connected && rude.connected && quitter.connected);
    // A good record, then a request of another protocol.
    rude.Send(Record(0x90, 1, 1) + "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(rude.ClosedByPeer());
    // Half a record, then gone.
    quitter.Send(Record(0x90, 2, 2).substr(0, 10));
    std::this_thread::sleep_for(kPause);
    quitter.Close();
    std::this_thread::sleep_for(kPause);
    steady.Send(Record(0x90, 3, 3));
    ASSERT_TRUE(input.events.WaitFor(2));
    Client late("127.0.0.1", input.Port());
    ASSERT_TRUE(late.connected);
    late.Send(Record(0x90, 4, 4));
    ASSERT_TRUE(input.events.WaitFor(3));
    EXPECT_EQ(input.events.Text(), "900101 900303 900404");
    EXPECT_EQ(input.log.Find(L"malformed midi record from 127.0.0.1:").size(), 1u);
}

TEST(MidiOverTcp, RefusesConnectionsBeyondTheLimitAndKeepsServingTheOthers) {
    NetInput input;
    ASSERT_TRUE(input.started);
    std::vector<std::unique_ptr<Client>> clients;
    for (size_t i = 0; i < NetInputStream::kMaxClients; ++i) {
        clients.push_back(std::make_unique<Client>("127.0.0.1", input.Port()));
        ASSERT_TRUE(clients.back()->connected);
    }
    Client extra("127.0.0.1", input.Port());
    EXPECT_TRUE(extra.ClosedByPeer());
    clients.back()->Send(Record(0x90, 5, 5));
    ASSERT_TRUE(input.events.WaitFor(1));
    EXPECT_EQ(input.log.Find(L"too many midi connections, refusing ").size(), 1u);
}

TEST(MidiOverTcp, ListensOnLoopbackOnlyUnlessToldOtherwiseAndDoesNotStartWhereItCannotListen) {
    // 127.0.0.2 reaches this machine too, but is not the address listened on.
    NetInput loopback;
    ASSERT_TRUE(loopback.started);
    EXPECT_TRUE(Client("127.0.0.1", loopback.Port()).connected);
    EXPECT_FALSE(Client("127.0.0.2", loopback.Port()).connected);
    NetInput any({L"--Midi-Net-Input-Address", L"0.0.0.0"});
    ASSERT_TRUE(any.started);
    EXPECT_TRUE(Client("127.0.0.2", any.Port()).connected);
    NetInput taken({L"--Midi-Net-Input-Port", std::to_wstring(loopback.Port())});
    EXPECT_FALSE(taken.started);
    EXPECT_EQ(taken.log.Find(L"cannot listen for midi on 127.0.0.1:").size(), 1u);
    NetInput nowhere({L"--Midi-Net-Input-Address", L"192.0.2.77"});
    EXPECT_FALSE(nowhere.started);
}

TEST(MidiOverTcp, OutputSendsRecordsAndSurvivesALostPeer) {
    NetInput input;
    ASSERT_TRUE(input.started);
    OptionConfig config({L"--Midi-Backends", L"netwin32", L"--Midi-Net-Output-Enabled", L"1",
                         L"--Midi-Net-Output-Hostname", L"127.0.0.1", L"--Midi-Net-Output-Port",
                         std::to_wstring(input.Port())});
    LogCapture log;
    IoMaster master(&log, config.Frontend());
    ASSERT_EQ(master.Outputs().size(), 1u);
    brl::Midi::OutputStream& output = *master.Outputs()[0];
    EXPECT_FALSE(output.Send(Event(0x90, 60, 127))); // not started
    ASSERT_TRUE(output.Start());
    EXPECT_TRUE(output.Send(Event(0x90, 60, 127)));
    EXPECT_TRUE(output.Send(Event(0x80, 60, 0)));
    ASSERT_TRUE(input.events.WaitFor(2));
    EXPECT_EQ(input.events.Text(), "903C7F 803C00");
    // The listener goes away; sending on must fail quietly (no SIGPIPE).
    input.stream->Stop();
    brl::testing::WaitFor([&] {
        output.Send(Event(0x90, 61, 100));
        std::this_thread::sleep_for(kPause);
        return !log.Find(L"sending to midi output 127.0.0.1:").empty();
    });
    EXPECT_EQ(log.Find(L"sending to midi output 127.0.0.1:").size(), 1u);
    output.Stop();
}
