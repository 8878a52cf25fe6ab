#include "SegmentEcho.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

pid_t StartSegmentEcho(const std::string& segment, const kvr::vseg::Mac& mac) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t echo = ::fork();
    if (echo < 0) return -1;
    if (echo == 0) {
        ::close(ready[0]);
        auto st = kvr::vseg::Station::Attach(segment, mac);
        const char c = st ? 'r' : 'x';
        (void)!::write(ready[1], &c, 1);
        if (!st) _exit(1);
        std::uint8_t buf[1514];
        for (;;) {
            st->Wait(-1);
            long n;
            while ((n = st->Receive(buf, sizeof buf)) > 0) {
                std::uint8_t tmp[6];
                std::memcpy(tmp, buf, 6);
                std::memcpy(buf, buf + 6, 6);
                std::memcpy(buf + 6, tmp, 6);
                st->Send(buf, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(ready[1]);
    char c = 0;
    const bool ok = ::read(ready[0], &c, 1) == 1 && c == 'r';
    ::close(ready[0]);
    if (!ok) {
        StopSegmentEcho(echo);
        return -1;
    }
    return echo;
}

void StopSegmentEcho(pid_t echo) {
    if (echo <= 0) return;
    ::kill(echo, SIGKILL);
    ::waitpid(echo, nullptr, 0);
}
