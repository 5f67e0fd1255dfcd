// The relay between a client and an echo server on loopback: what it delivers, when, and what
// it counts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "Relay.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

// Up to `size` bytes, fewer when the other side closes first.
std::string readUpTo(int fd, std::size_t size) {
    std::string bytes(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, bytes.data() + got, size - got);
        if (n <= 0) break;
        got += std::size_t(n);
    }
    bytes.resize(got);
    return bytes;
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = char(random());
    return bytes;
}

// Echoes every connection's bytes back as they come, and closes its side after the client's.
class EchoServer {
public:
    EchoServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = bench::loopbackAddress(0);
        socklen_t length = sizeof address;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_, 16) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("the echo server cannot listen");
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            for (;;) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0) return;
                const std::lock_guard lock(mutex_);
                echoes_.emplace_back([fd] {
                    char buffer[8192];
                    for (;;) {
                        const ssize_t n = ::read(fd, buffer, sizeof buffer);
                        if (n <= 0 || !sendAll(fd, std::string(buffer, std::size_t(n)))) break;
                    }
                    close(fd);
                });
            }
        });
    }
    ~EchoServer() {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        close(listener_);
        for (std::thread& echo : echoes_) echo.join();
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::list<std::thread> echoes_;
};

int connectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = bench::loopbackAddress(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect");
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TEST(Relay, DeliversEveryByteInOrderNoSoonerThanItsLatency) {
    EchoServer echo;
    struct Case {
        std::chrono::microseconds oneWay;
        std::size_t size;
    };
    const Case cases[] = {{0us, 1},   {0us, 1400},    {0us, 3'000'000},
                          {500us, 1}, {500us, 1400},  {500us, 300'000},
                          {10ms, 1},  {10ms, 70'000}, {10ms, 3'000'000}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "one way " << c.oneWay.count() << " us, " << c.size << " bytes");
        bench::Relay relay(echo.port(), c.oneWay);
        const int fd = connectTo(relay.port());
        for (int message = 0; message < 3; ++message) {
            const std::string sent = randomBytes(c.size, seed++);
            const Clock::time_point start = Clock::now();
            // Read while writing: an echo larger than the sockets' buffers would block both.
            std::string received;
            std::thread reader([&] { received = readUpTo(fd, sent.size()); });
            ASSERT_TRUE(sendAll(fd, sent));
            reader.join();
            const double ms = msSince(start);
            ASSERT_EQ(received.size(), sent.size());
            EXPECT_TRUE(received == sent) << "the bytes came back changed or out of order";
            EXPECT_GE(ms, 2 * c.oneWay.count() / 1000.0);
        }
        close(fd);
        EXPECT_EQ(relay.counts().bytesToServer, 3 * c.size);
        EXPECT_EQ(relay.counts().bytesToClient, 3 * c.size);
    }
}

// Chunks sent one after the other each arrive one latency after they left, not one latency
// after the chunk before them was delivered.
TEST(Relay, ThroughputIsNotBoundByTheLatencyOfEachChunk) {
    EchoServer echo;
    constexpr auto oneWay = 50ms;
    constexpr int chunks = 200;
    bench::Relay relay(echo.port(), oneWay);
    const int fd = connectTo(relay.port());
    const std::string sent = randomBytes(chunks * 1000, 7);
    std::string received;
    const Clock::time_point start = Clock::now();
    std::thread reader([&] { received = readUpTo(fd, sent.size()); });
    for (int i = 0; i < chunks; ++i) {
        ASSERT_TRUE(sendAll(fd, sent.substr(std::size_t(i) * 1000, 1000)));
        std::this_thread::sleep_for(1ms);
    }
    reader.join();
    const double ms = msSince(start);
    EXPECT_TRUE(received == sent);
    // 200 chunks sent over >= 200 ms, back 100 ms after the last: a relay that let each chunk
    // wait for the one before would take 200 x 50 ms each way.
    EXPECT_GE(ms, 300);
    EXPECT_LT(ms, 2000);
    EXPECT_GE(relay.counts().chunksToServer, std::uint64_t(chunks / 4));
    close(fd);
}

TEST(Relay, CountsChunksAndTheClientsTurnarounds) {
    EchoServer echo;
    bench::Relay relay(echo.port(), 20ms);
    const int fd = connectTo(relay.port());
    // Ten exchanges, each waiting for its answer: ten round trips.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(sendAll(fd, "0123456789abcdef"));
        ASSERT_EQ(readUpTo(fd, 16), "0123456789abcdef");
    }
    bench::RelayCounts counts = relay.counts();
    EXPECT_EQ(counts.connections, 1u);
    EXPECT_EQ(counts.chunksToServer, 10u);
    EXPECT_EQ(counts.chunksToClient, 10u);
    EXPECT_EQ(counts.bytesToServer, 160u);
    EXPECT_EQ(counts.bytesToClient, 160u);
    EXPECT_EQ(counts.turnarounds, 10u);

    relay.resetCounts();
    EXPECT_EQ(relay.counts().chunksToServer, 0u);
    close(fd);

    // Five requests sent without waiting, then their answers: one round trip. The latency is
    // long enough that a loaded machine still sends all five within it; the relay may read
    // two of them at once.
    bench::Relay slow(echo.port(), 400ms);
    const int other = connectTo(slow.port());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(sendAll(other, "ping"));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(readUpTo(other, 20), "pingpingpingpingping");
    counts = slow.counts();
    EXPECT_GE(counts.chunksToServer, 1u);
    EXPECT_LE(counts.chunksToServer, 5u);
    EXPECT_EQ(counts.turnarounds, 1u);
    EXPECT_EQ(counts.bytesToClient, 20u);
    close(other);
}

TEST(Relay, ClosingsCrossItAndItCutsWhatIsOpenWhenItStops) {
    EchoServer echo;
    {
        // The client's close reaches the server one latency later, and the server's comes back.
        bench::Relay relay(echo.port(), 5ms);
        const int fd = connectTo(relay.port());
        ASSERT_TRUE(sendAll(fd, "last words"));
        shutdown(fd, SHUT_WR);
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(readUpTo(fd, 100), "last words");
        EXPECT_GE(msSince(start), 10);
        close(fd);
    }
    {
        // A relay that stops cuts its connections: the client reads the end.
        const int fd = [&] {
            bench::Relay relay(echo.port(), 1ms);
            return connectTo(relay.port());
        }();
        EXPECT_EQ(readUpTo(fd, 1), "");
        close(fd);
    }
    {
        // Nobody at the target: the client's connection is closed.
        int unused = -1;
        std::uint16_t nobody = 0;
        {
            EchoServer gone;
            nobody = gone.port();
        }
        bench::Relay relay(nobody, 0ms);
        unused = connectTo(relay.port());
        EXPECT_EQ(readUpTo(unused, 1), "");
        close(unused);
    }
}

}  // namespace
