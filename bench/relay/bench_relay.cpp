// The loopback relay on its own, to put a network's latency between any client and a server
// on this machine, e.g. psql against a local server at a 10 ms round trip:
//
//   bench_relay 5432 5 &        (prints the port it listens on)
//   psql -h 127.0.0.1 -p PORT ...
//
//   bench_relay [--listen PORT] TARGET_PORT ONE_WAY_MS
// SIGUSR1 prints what crossed it so far; SIGINT or SIGTERM prints it and ends the relay.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Relay.h"

namespace {

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: bench_relay [--listen PORT] TARGET_PORT ONE_WAY_MS\n");
    std::exit(2);
}

long port(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 0 || value > 65535) usage();
    return value;
}

void print(const bench::RelayCounts& c) {
    std::printf(
        "connections %llu; to the server %llu chunks, %llu bytes; to the client %llu chunks, "
        "%llu bytes; client turnarounds %llu\n",
        (unsigned long long)c.connections, (unsigned long long)c.chunksToServer,
        (unsigned long long)c.bytesToServer, (unsigned long long)c.chunksToClient,
        (unsigned long long)c.bytesToClient, (unsigned long long)c.turnarounds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    long listen = 0;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--listen") == 0) {
        listen = port(argv[2]);
        first = 3;
    }
    if (argc - first != 2) usage();
    const long target = port(argv[first]);
    char* end = nullptr;
    const double oneWayMs = std::strtod(argv[first + 1], &end);
    if (*end != '\0' || !(oneWayMs >= 0) || oneWayMs > 60000) usage();

    // The relay's threads inherit the mask: only this thread takes the signals.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        bench::Relay relay(std::uint16_t(target),
                           std::chrono::nanoseconds(std::int64_t(oneWayMs * 1e6)),
                           std::uint16_t(listen));
        std::printf("relay 127.0.0.1:%u -> 127.0.0.1:%ld, %.3f ms each way\n", relay.port(), target,
                    oneWayMs);
        std::fflush(stdout);
        for (;;) {
            int signal = 0;
            sigwait(&signals, &signal);
            print(relay.counts());
            if (signal != SIGUSR1) return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_relay: %s\n", e.what());
        return 1;
    }
}
