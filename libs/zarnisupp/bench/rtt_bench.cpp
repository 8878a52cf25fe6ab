// Round-trip and idle-wait figures of the adapter library.
//
//   zarnisupp_rtt_bench [round trips, default 20000] [idle wait seconds, default 10]
//
// 1. A 100-byte frame ping-pong through the exports (send, wait, receive) over
//    a virtual segment, against an echoing station in another process.
// 2. The same over a veth pair between two network namespaces (needs root),
//    with the echo in the far namespace, once with the adapters opened directly
//    and once through the raw-frame helper, and in the same run for comparison
//    a bare AF_PACKET + poll() ping-pong over the same pair and the same relayed
//    by a second process (the least any helper costs).
// 3. Processor time used while waiting in ZARNISUPP_WaitForRawPacket with no traffic.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "PacketDriver.h"
#include "Segment.h"
#include "SegmentEcho.h"
#include "VethLab.h"
#include "zarnisupp.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mac = std::array<std::uint8_t, 6>;

std::vector<std::uint8_t> Snap(const Mac& dst, const Mac& src, std::uint32_t seq) {
    std::vector<std::uint8_t> f(100, 0);
    std::copy(dst.begin(), dst.end(), f.begin());
    std::copy(src.begin(), src.end(), f.begin() + 6);
    f[13] = 100 - 14;
    const std::uint8_t hdr[8] = {0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5, 0x00, 0x00};
    std::copy(hdr, hdr + 8, f.begin() + 14);
    std::memcpy(f.data() + 22, &seq, 4);
    return f;
}

// Every frame of the run gets its own number, so a late answer from an earlier
// block can never pass for the one awaited.
std::uint32_t g_seq = 1;

std::uint32_t SeqOf(const std::uint8_t* f) {
    std::uint32_t s;
    std::memcpy(&s, f + 22, 4);
    return s;
}

struct Stats {
    double median = 0, p99 = 0, mean = 0;
    int lost = 0;
};

Stats Summarise(std::vector<double>& us, int lost) {
    Stats s;
    s.lost = lost;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.median = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    double sum = 0;
    for (double u : us) sum += u;
    s.mean = sum / static_cast<double>(us.size());
    return s;
}

void Print(const char* what, const Stats& s) {
    std::printf("%-44s median %7.1f us   p99 %7.1f us   %7.0f round trips/s   lost %d\n", what, s.median, s.p99,
                s.mean > 0 ? 1e6 / s.mean : 0.0, s.lost);
}

// Ping-pong through the exports on adapter index.
int ExportsPingPong(std::int32_t index, const Mac& peer, int rounds, std::vector<double>& us) {
    Mac own{};
    ZARNISUPP_GetAdapterMacAddress(index, own.data());
    std::vector<std::uint8_t> buf(1514);
    int lost = 0;
    for (int i = 0; i < rounds + 200; ++i) {
        const std::uint32_t seq = g_seq++;
        auto f = Snap(peer, own, seq);
        const auto t0 = Clock::now();
        if (ZARNISUPP_SendRawPacket(index, 100, f.data()) != 1) {
            ++lost;
            continue;
        }
        bool got = false;
        while (!got) {
            if (ZARNISUPP_WaitForRawPacket(index, 1000) != 1) break;
            std::int32_t no = 1, len = 0;
            if (ZARNISUPP_ReceiveRawPacket(index, &no, &len, buf.data()) != 1) break;
            got = !no && len >= 26 && SeqOf(buf.data()) == seq;
        }
        const auto t1 = Clock::now();
        if (!got) {
            ++lost;
            continue;
        }
        if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());  // after warm-up
    }
    return lost;
}

int BarePingPong(const std::string& ifname, const Mac& own, const Mac& peer, int rounds, std::vector<double>& us) {
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) return rounds;
    int one = 1;  // like the library's capture: incoming frames only
    ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    std::uint8_t buf[2048];
    int lost = 0;
    for (int i = 0; i < rounds + 200; ++i) {
        const std::uint32_t seq = g_seq++;
        auto f = Snap(peer, own, seq);
        const auto t0 = Clock::now();
        ::send(fd, f.data(), f.size(), 0);
        bool got = false;
        while (!got) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) break;
            sockaddr_ll from{};
            socklen_t fl = sizeof from;
            ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            got = n >= 26 && from.sll_pkttype != PACKET_OUTGOING && IsKvrSnap(buf, static_cast<std::size_t>(n)) &&
                  SeqOf(buf) == seq;
        }
        const auto t1 = Clock::now();
        if (!got) {
            ++lost;
            continue;
        }
        if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ::close(fd);
    return lost;
}

// The floor of any privilege split: a second process holds the bare socket and
// relays frames over a socket pair, one thread per direction, each blocking in
// its own receive (two system calls per frame and direction, nothing else).
// Against the bare ping-pong this shows what the two extra process switches of
// a round trip cost on this machine, whatever the helper does.
int RelayedPingPong(const std::string& ifname, const Mac& own, const Mac& peer, int rounds, std::vector<double>& us) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return rounds;
    const pid_t relay = ::fork();
    if (relay < 0) return rounds;
    if (relay == 0) {
        ::close(pair[0]);
        const int link = pair[1];
        int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = static_cast<int>(::if_nametoindex(ifname.c_str()));
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0) _exit(1);
        int one = 1;
        ::setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
        std::thread up([fd, link] {
            std::uint8_t buf[2048];
            for (;;) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n < 0) _exit(0);
                if (IsKvrSnap(buf, static_cast<std::size_t>(n)) && ::send(link, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) < 0)
                    _exit(0);
            }
        });
        std::uint8_t buf[2048];
        for (ssize_t n; (n = ::recv(link, buf, sizeof buf, 0)) > 0;) ::send(fd, buf, static_cast<std::size_t>(n), 0);
        _exit(0);  // the parent closed its end
    }
    ::close(pair[1]);
    const int link = pair[0];
    std::uint8_t buf[2048];
    int lost = 0;
    for (int i = 0; i < rounds + 200; ++i) {
        const std::uint32_t seq = g_seq++;
        auto f = Snap(peer, own, seq);
        const auto t0 = Clock::now();
        ::send(link, f.data(), f.size(), MSG_NOSIGNAL);
        bool got = false;
        while (!got) {
            pollfd p{link, POLLIN, 0};
            if (::poll(&p, 1, 1000) != 1) break;
            const ssize_t n = ::recv(link, buf, sizeof buf, MSG_DONTWAIT);
            got = n >= 26 && SeqOf(buf) == seq;
        }
        const auto t1 = Clock::now();
        if (!got) {
            ++lost;
            continue;
        }
        if (i >= 200) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    ::close(link);
    ::kill(relay, SIGKILL);
    ::waitpid(relay, nullptr, 0);
    return lost;
}

std::int32_t FindAdapter(const std::string& name) {
    std::int32_t count = 0;
    if (ZARNISUPP_ScanForEthernetAdapters(&count, 0) != 1) return -1;
    char text[512];
    for (std::int32_t i = 0; i < count; ++i)
        if (ZARNISUPP_GetAdapterName(i, text, sizeof text) == 1 && name == text) return i;
    return -1;
}

void IdleWait(std::int32_t index, int seconds, const char* what) {
    rusage r0{}, r1{};
    ::getrusage(RUSAGE_SELF, &r0);
    const auto t0 = Clock::now();
    int woke = 0;
    const auto end = t0 + std::chrono::seconds(seconds);
    for (auto now = t0; now < end; now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        if (left <= 0) break;
        woke += ZARNISUPP_WaitForRawPacket(index, static_cast<std::int32_t>(left));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    ::getrusage(RUSAGE_SELF, &r1);
    auto secs = [](const timeval& a, const timeval& b) {
        return static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_usec - a.tv_usec) / 1e6;
    };
    const double cpu = secs(r0.ru_utime, r1.ru_utime) + secs(r0.ru_stime, r1.ru_stime);
    std::printf("%-44s %.1f s waited, %.4f s CPU = %.3f%% of a core (%d early wake-ups)\n", what, wall, cpu,
                100.0 * cpu / wall, woke);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    std::printf("100-byte frame round trips: %d (after 200 warm-up)\n", rounds);

    // veth lab first: it moves this process into its own network namespace.
    VethLab lab;
    std::string reason;
    const bool haveVeth = lab.Start(&reason);
    if (!haveVeth) std::printf("veth pair unavailable: %s\n", reason.c_str());

    // Virtual segment with an echoing station in a child process.
    char tmpl[] = "/tmp/kvrbench-XXXXXX";
    const std::string root = ::mkdtemp(tmpl) ? std::string(tmpl) : std::string("/tmp/kvrbench");
    ::setenv("KVR_SEGMENT_DIR", (root + "/segments").c_str(), 1);
    const std::string segment = "bench" + std::to_string(::getpid());
    const Mac echoMac{0x00, 0x07, 0xF5, 0x00, 0x00, 0x01};
    const pid_t echo = StartSegmentEcho(segment, echoMac);
    if (echo < 0) {
        std::printf("echo station failed\n");
        return 1;
    }

    std::vector<double> segUs;
    std::int32_t vseg = FindAdapter("vseg:" + segment);
    if (vseg >= 0 && ZARNISUPP_OpenAdapter(vseg) == 1) {
        const int lost = ExportsPingPong(vseg, echoMac, rounds, segUs);
        Print("exports over virtual segment:", Summarise(segUs, lost));
        IdleWait(vseg, idleSeconds, "idle WaitForRawPacket, virtual segment:");
        ZARNISUPP_CloseAdapter(vseg);
    } else {
        std::printf("virtual segment adapter not usable\n");
    }
    StopSegmentEcho(echo);

    if (haveVeth && lab.EchoStart()) {
        // Alternate blocks of both so that drift of the machine's load hits both alike.
        std::int32_t veth = FindAdapter(lab.NearIf());
        std::vector<double> bareUs, libUs, helperUs;
        std::vector<double> relayUs;
        int bareLost = 0, libLost = 0, helperLost = 0, relayLost = 0;
        // Short blocks of each, in turns, so that drift of the machine's load hits all alike.
        constexpr int kBlocks = 8;
        const int perBlock = rounds / kBlocks;
        // The adapter is open only during its own blocks, so it never collects the
        // answers meant for the bare socket.
        auto libBlock = [&](kvr::zs::RawPath path, std::vector<double>& us, int& lost) {
            kvr::zs::SetRawPath(path, KVR_BUNDLE_DIR "/kvr-rawhelper");
            if (veth >= 0 && ZARNISUPP_OpenAdapter(veth) == 1) {
                lost += ExportsPingPong(veth, lab.FarMac(), perBlock, us);
                ZARNISUPP_CloseAdapter(veth);
            } else {
                lost += perBlock;
            }
            kvr::zs::SetRawPath(kvr::zs::RawPath::Auto);
        };
        auto bareBlock = [&] {
            bareLost += BarePingPong(lab.NearIf(), lab.NearMac(), lab.FarMac(), perBlock, bareUs);
            relayLost += RelayedPingPong(lab.NearIf(), lab.NearMac(), lab.FarMac(), perBlock, relayUs);
        };
        for (int block = 0; block < kBlocks; ++block) {
            if (block % 2) {
                libBlock(kvr::zs::RawPath::Helper, helperUs, helperLost);
                libBlock(kvr::zs::RawPath::Direct, libUs, libLost);
                bareBlock();
            } else {
                bareBlock();
                libBlock(kvr::zs::RawPath::Direct, libUs, libLost);
                libBlock(kvr::zs::RawPath::Helper, helperUs, helperLost);
            }
        }
        const Stats bare = Summarise(bareUs, bareLost), lib = Summarise(libUs, libLost),
                    helper = Summarise(helperUs, helperLost), relay = Summarise(relayUs, relayLost);
        Print("bare AF_PACKET + poll over veth:", bare);
        Print("bare, relayed by a second process:", relay);
        Print("exports over veth, direct:", lib);
        Print("exports over veth, raw-frame helper:", helper);
        if (bare.median > 0)
            std::printf("ratio exports/bare over veth: median %.2f, p99 %.2f\n", lib.median / bare.median,
                        lib.p99 / bare.p99);
        // The mean carries every stall the machine's other load causes; the median does not.
        if (lib.mean > 0 && helper.mean > 0)
            std::printf("round trips per second, helper/direct: %.2f (at the median: %.2f)\n", lib.mean / helper.mean,
                        lib.median / helper.median);
        if (bare.median > 0 && relay.median > 0)
            std::printf("round trips per second at the median, relayed/bare: %.2f (the floor of a second process)\n",
                        bare.median / relay.median);
        const Stats seg = Summarise(segUs, 0);
        if (bare.median > 0 && seg.median > 0)
            std::printf("ratio virtual segment/bare veth: median %.2f, p99 %.2f\n", seg.median / bare.median,
                        seg.p99 / bare.p99);
        lab.EchoStop();
        if (veth >= 0 && ZARNISUPP_OpenAdapter(veth) == 1) {
            IdleWait(veth, idleSeconds, "idle WaitForRawPacket, veth (pcap):");
            ZARNISUPP_CloseAdapter(veth);
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
