#include "Relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t ReadSize = 64 * 1024;
// What one direction holds in flight before it stops reading, as a link's buffers would:
// more than any benchmark sends at once, a bound for a side that sends without end.
constexpr std::size_t MaxInFlight = 32 * 1024 * 1024;

void noDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

struct Counters {
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> chunksToServer{0};
    std::atomic<std::uint64_t> chunksToClient{0};
    std::atomic<std::uint64_t> bytesToServer{0};
    std::atomic<std::uint64_t> bytesToClient{0};
    std::atomic<std::uint64_t> turnarounds{0};
};

class Connection;

// One direction of a connection: its reader stamps each chunk with the time it is due, its
// writer delivers the chunks in order, each when it is due.
class Pipe {
public:
    Pipe(Connection& connection, int from, int to, bool toServer)
        : connection_(connection), from_(from), to_(to), toServer_(toServer) {}

    void start();
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    void join() {
        if (reader_.joinable()) reader_.join();
        if (writer_.joinable()) writer_.join();
    }

private:
    struct Chunk {
        Clock::time_point due;
        std::string bytes;  // empty: the sending side closed
    };

    void read();
    void write();
    void push(Chunk chunk);

    Connection& connection_;
    const int from_;
    const int to_;
    const bool toServer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> queue_;
    std::size_t inFlight_ = 0;
    bool stopped_ = false;
    std::thread reader_;
    std::thread writer_;
};

class Connection {
public:
    Connection(int client, int server, Clock::duration oneWay, Counters& counters)
        : client_(client),
          server_(server),
          oneWay_(oneWay),
          counters_(counters),
          up_(*this, client, server, true),
          down_(*this, server, client, false) {}
    ~Connection() {
        cut();
        up_.join();
        down_.join();
        close(client_);
        close(server_);
    }

    void start() {
        up_.start();
        down_.start();
    }
    // Ends both directions at once: a side failed, or the relay stops.
    void cut() {
        shutdown(client_, SHUT_RDWR);
        shutdown(server_, SHUT_RDWR);
        up_.stop();
        down_.stop();
    }
    void threadEnded() { ++ended_; }
    bool ended() const { return ended_ == 4; }

    Clock::duration oneWay() const { return oneWay_; }

    // A chunk of `bytes` read from one side.
    void count(bool toServer, std::size_t bytes) {
        if (toServer) {
            ++counters_.chunksToServer;
            counters_.bytesToServer += bytes;
        } else {
            ++counters_.chunksToClient;
            counters_.bytesToClient += bytes;
        }
        const std::lock_guard lock(turnMutex_);
        if (toServer && !lastToServer_) ++counters_.turnarounds;
        lastToServer_ = toServer;
    }

private:
    const int client_;
    const int server_;
    const Clock::duration oneWay_;
    Counters& counters_;
    std::mutex turnMutex_;
    // Starts as if the server had spoken, so the chunk that opens the connection counts.
    bool lastToServer_ = false;
    std::atomic<int> ended_{0};
    Pipe up_;
    Pipe down_;
};

void Pipe::start() {
    reader_ = std::thread([this] {
        read();
        connection_.threadEnded();
    });
    writer_ = std::thread([this] {
        write();
        connection_.threadEnded();
    });
}

void Pipe::push(Chunk chunk) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || inFlight_ < MaxInFlight; });
        if (stopped_) return;
        inFlight_ += chunk.bytes.size();
        queue_.push_back(std::move(chunk));
    }
    changed_.notify_all();
}

void Pipe::read() {
    std::string buffer(ReadSize, '\0');
    for (;;) {
        const ssize_t n = ::read(from_, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        const Clock::time_point now = Clock::now();
        if (n <= 0) {
            if (n < 0) connection_.cut();
            push({now + connection_.oneWay(), {}});
            return;
        }
        connection_.count(toServer_, std::size_t(n));
        push({now + connection_.oneWay(), buffer.substr(0, std::size_t(n))});
    }
}

void Pipe::write() {
    // The default slack lets a timed wait end 50 us late: a tenth of a 0.5 ms latency.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    for (;;) {
        Chunk chunk;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopped_ || !queue_.empty(); });
            if (stopped_) return;
            const Clock::time_point due = queue_.front().due;
            if (changed_.wait_until(lock, due, [&] { return stopped_; })) return;
            chunk = std::move(queue_.front());
            queue_.pop_front();
            inFlight_ -= chunk.bytes.size();
        }
        changed_.notify_all();
        if (chunk.bytes.empty()) {
            shutdown(to_, SHUT_WR);
            return;
        }
        if (!sendAll(to_, chunk.bytes)) {
            connection_.cut();
            return;
        }
    }
}

}  // namespace

sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Relay::State {
    std::uint16_t targetPort = 0;
    Clock::duration oneWay{};
    int listener = -1;
    std::uint16_t port = 0;
    std::atomic<bool> stopping{false};
    Counters counters;
    std::mutex mutex;
    std::list<std::unique_ptr<Connection>> connections;
    std::thread acceptor;

    void accept();
};

void Relay::State::accept() {
    for (;;) {
        const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (stopping) {
            if (client >= 0) close(client);
            return;
        }
        if (client < 0) continue;  // interrupted, or a connection aborted before it was taken
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = loopbackAddress(targetPort);
        if (server < 0 ||
            connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            if (server >= 0) close(server);
            close(client);  // the client sees its connection closed, as with no server
            continue;
        }
        noDelay(client);
        noDelay(server);
        ++counters.connections;
        const std::lock_guard lock(mutex);
        // Connections whose both sides closed go, so that a long run keeps no dead threads.
        connections.remove_if([](const std::unique_ptr<Connection>& c) { return c->ended(); });
        connections.push_back(std::make_unique<Connection>(client, server, oneWay, counters));
        connections.back()->start();
    }
}

Relay::Relay(std::uint16_t targetPort, std::chrono::nanoseconds oneWay, std::uint16_t listenPort)
    : state_(std::make_unique<State>()) {
    state_->targetPort = targetPort;
    state_->oneWay = std::chrono::duration_cast<Clock::duration>(oneWay);
    state_->listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(state_->listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopbackAddress(listenPort);
    socklen_t length = sizeof address;
    if (state_->listener < 0 ||
        bind(state_->listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(state_->listener, 128) != 0 ||
        getsockname(state_->listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (state_->listener >= 0) close(state_->listener);
        throw std::runtime_error(
            "the relay cannot listen on 127.0.0.1:" + std::to_string(listenPort) + ": " + reason);
    }
    state_->port = ntohs(address.sin_port);
    state_->acceptor = std::thread([state = state_.get()] { state->accept(); });
}

Relay::~Relay() {
    state_->stopping = true;
    shutdown(state_->listener, SHUT_RDWR);  // wakes the blocked accept
    state_->acceptor.join();
    close(state_->listener);
    state_->connections.clear();
}

std::uint16_t Relay::port() const { return state_->port; }

std::chrono::nanoseconds Relay::oneWay() const { return state_->oneWay; }

RelayCounts Relay::counts() const {
    const Counters& c = state_->counters;
    return {c.connections,   c.chunksToServer, c.chunksToClient,
            c.bytesToServer, c.bytesToClient,  c.turnarounds};
}

void Relay::resetCounts() {
    Counters& c = state_->counters;
    for (std::atomic<std::uint64_t>* counter :
         {&c.connections, &c.chunksToServer, &c.chunksToClient, &c.bytesToServer, &c.bytesToClient,
          &c.turnarounds})
        *counter = 0;
}

}  // namespace bench
