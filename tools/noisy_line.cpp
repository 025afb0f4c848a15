// A virtual null-modem cable that can misbehave: it joins two pseudo-terminals
// and, per direction and from a seed, corrupts or drops bytes at a given rate,
// injects bursts of noise, and paces the bytes to a baud rate (10 bits a byte).
//
//   noisy_line LINK_A LINK_B [options]
//     --seed N            random seed (default 1)
//     --corrupt R         probability that a byte is altered, both directions
//     --drop R            probability that a byte is lost, both directions
//     --burst R           probability that a burst of noise starts at a byte
//     --burst-length N    bytes of random noise in a burst (default 8)
//     --baud N            pace each direction to N baud; 0 = as fast as possible
//     --hold N            bytes a direction holds before it stops reading (default 4096,
//                         like a serial driver; a USB adapter or a network link holds more)
//     --ab-only / --ba-only   apply faults to one direction only (A to B or B to A)
//     --stats FILE        write counts per direction to FILE on exit
//
// It prints "ready" on standard output once both links exist, so that a
// script can start the peers then, and runs until it receives SIGTERM or
// SIGINT. A side that closes its end is
// simply waited for again, so a peer may open, close and reopen its device.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <random>
#include <string>
#include <termios.h>

namespace {

volatile sig_atomic_t stopRequested = 0;

// Bytes a direction holds before it stops reading from its sender, like the
// buffer of a serial driver: a sender cannot run far ahead of the line.
size_t lineBuffer = 4096;
// Bytes taken from a side in one read.
const size_t READ_CHUNK = 4096;

void onSignal(int) { stopRequested = 1; }

struct Faults {
    double corrupt = 0;
    double drop = 0;
    double burst = 0;
    int burstLength = 8;
};

struct Direction {
    const char* name;
    int from;
    int to;
    Faults faults;
    std::mt19937_64 random;
    std::deque<uint8_t> queue;      // bytes waiting to be written
    double nextSendTime = 0;        // paced: when the next byte may go
    uint64_t forwarded = 0, corrupted = 0, dropped = 0, injected = 0;
};

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

int openMaster(const char* link) {
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        perror("posix_openpt");
        exit(1);
    }
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    // Keep the slave side raw as well, so the first opener sees a clean line.
    const char* slave = ptsname(fd);
    int s = open(slave, O_RDWR | O_NOCTTY);
    if (s >= 0) {
        tcgetattr(s, &tio);
        cfmakeraw(&tio);
        tcsetattr(s, TCSANOW, &tio);
        close(s);
    }
    unlink(link);
    if (symlink(slave, link) != 0) {
        perror("symlink");
        exit(1);
    }
    return fd;
}

// Takes the bytes read on one side and queues what reaches the other.
void carry(Direction& d, const uint8_t* bytes, ssize_t n) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> anyByte(0, 255);
    std::uniform_int_distribution<int> flip(1, 255);
    for (ssize_t i = 0; i < n; i++) {
        uint8_t b = bytes[i];
        if (d.faults.burst > 0 && chance(d.random) < d.faults.burst) {
            for (int k = 0; k < d.faults.burstLength; k++) d.queue.push_back(static_cast<uint8_t>(anyByte(d.random)));
            d.injected += static_cast<uint64_t>(d.faults.burstLength);
        }
        if (d.faults.drop > 0 && chance(d.random) < d.faults.drop) {
            d.dropped++;
            continue;
        }
        if (d.faults.corrupt > 0 && chance(d.random) < d.faults.corrupt) {
            b = static_cast<uint8_t>(b ^ flip(d.random));
            d.corrupted++;
        }
        d.queue.push_back(b);
        d.forwarded++;
    }
}

// Writes what the pacing allows; returns the seconds until more may go (or -1).
double flush(Direction& d, double baud) {
    while (!d.queue.empty()) {
        size_t allowed = d.queue.size();
        double now = nowSeconds();
        if (baud > 0) {
            if (d.nextSendTime < now - 0.05) d.nextSendTime = now;  // an idle line earns no credit
            if (d.nextSendTime > now) return d.nextSendTime - now;
            allowed = 1 + static_cast<size_t>((now - d.nextSendTime) * baud / 10.0);
            if (allowed > d.queue.size()) allowed = d.queue.size();
        }
        uint8_t chunk[4096];
        if (allowed > sizeof chunk) allowed = sizeof chunk;
        for (size_t i = 0; i < allowed; i++) chunk[i] = d.queue[i];
        ssize_t w = write(d.to, chunk, allowed);
        if (w <= 0) return 0.005;  // the other side is not open or is full: try again soon
        d.queue.erase(d.queue.begin(), d.queue.begin() + w);
        if (baud > 0) d.nextSendTime += static_cast<double>(w) * 10.0 / baud;
    }
    return -1;
}

double argNumber(int& i, int argc, char** argv) {
    if (i + 1 >= argc) {
        fprintf(stderr, "missing value after %s\n", argv[i]);
        exit(2);
    }
    return atof(argv[++i]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: noisy_line LINK_A LINK_B [--seed N] [--corrupt R] [--drop R] [--burst R]\n"
                        "       [--burst-length N] [--baud N] [--hold N] [--ab-only|--ba-only] [--stats FILE]\n");
        return 2;
    }
    Faults faults;
    uint64_t seed = 1;
    double baud = 0;
    bool abFaults = true, baFaults = true;
    std::string statsFile;
    for (int i = 3; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--seed") seed = static_cast<uint64_t>(argNumber(i, argc, argv));
        else if (a == "--corrupt") faults.corrupt = argNumber(i, argc, argv);
        else if (a == "--drop") faults.drop = argNumber(i, argc, argv);
        else if (a == "--burst") faults.burst = argNumber(i, argc, argv);
        else if (a == "--burst-length") faults.burstLength = static_cast<int>(argNumber(i, argc, argv));
        else if (a == "--baud") baud = argNumber(i, argc, argv);
        else if (a == "--hold") lineBuffer = static_cast<size_t>(argNumber(i, argc, argv));
        else if (a == "--ab-only") baFaults = false;
        else if (a == "--ba-only") abFaults = false;
        else if (a == "--stats" && i + 1 < argc) statsFile = argv[++i];
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);

    int a = openMaster(argv[1]);
    int b = openMaster(argv[2]);
    Direction ab{"a->b", a, b, abFaults ? faults : Faults{}, std::mt19937_64(seed * 2 + 1), {}, 0, 0, 0, 0, 0};
    Direction ba{"b->a", b, a, baFaults ? faults : Faults{}, std::mt19937_64(seed * 2 + 2), {}, 0, 0, 0, 0, 0};
    Direction* dirs[2] = {&ab, &ba};
    // Both ends exist from here on: one line on standard output says so, for a
    // script that waits on a pipe rather than polling for the links.
    printf("ready\n");
    fflush(stdout);

    while (!stopRequested) {
        int timeoutMs = 50;
        for (Direction* d : dirs) {
            double wait = flush(*d, baud);
            if (wait >= 0) {
                int ms = static_cast<int>(wait * 1000.0) + 1;
                if (ms < timeoutMs) timeoutMs = ms;
            }
        }
        pollfd fds[2] = {{a, static_cast<short>(ab.queue.size() < lineBuffer ? POLLIN : 0), 0},
                         {b, static_cast<short>(ba.queue.size() < lineBuffer ? POLLIN : 0), 0}};
        int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; k++) {
            if (!(fds[k].revents & POLLIN)) {
                // A closed slave makes the master report a hang-up: back off a little.
                if (fds[k].revents & (POLLHUP | POLLERR)) usleep(2000);
                continue;
            }
            uint8_t bytes[READ_CHUNK];
            size_t room = lineBuffer - dirs[k]->queue.size();
            if (room > READ_CHUNK) room = READ_CHUNK;
            ssize_t n = read(fds[k].fd, bytes, room);
            if (n > 0) carry(*dirs[k], bytes, n);
        }
    }
    if (!statsFile.empty()) {
        FILE* f = fopen(statsFile.c_str(), "w");
        if (f != nullptr) {
            for (Direction* d : dirs)
                fprintf(f, "%s forwarded=%llu corrupted=%llu dropped=%llu injected=%llu\n", d->name,
                        static_cast<unsigned long long>(d->forwarded), static_cast<unsigned long long>(d->corrupted),
                        static_cast<unsigned long long>(d->dropped), static_cast<unsigned long long>(d->injected));
            fclose(f);
        }
    }
    unlink(argv[1]);
    unlink(argv[2]);
    return 0;
}
