// The simulator on a real Ethernet interface through libpcap: a veth pair in a
// network namespace of the test's own (a forked child makes it, so nothing is
// left behind and the machine's interfaces are never touched).
#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "VethLab.h"
#include "sim/Simulator.h"
#include "sim/tests/TestWire.h"

using namespace simtest;
using kvr::sim::DeviceConfig;
using kvr::sim::Simulator;

namespace {

constexpr int kSkip = 77;
const Mac kDevA{0x00, 0x07, 0xF5, 0x0C, 0x00, 0x01};
const Mac kDevB{0x00, 0x07, 0xF5, 0x0C, 0x00, 0x02};

#define CHILD_CHECK(cond, ...)                  \
    do {                                        \
        if (!(cond)) {                          \
            std::fprintf(stderr, __VA_ARGS__);  \
            std::fprintf(stderr, "\n");         \
            return 1;                           \
        }                                       \
    } while (0)

// The frames to the host within `ms`; once `want` came, only a further
// 100 ms in which a stray extra frame would show.
std::vector<Seen> ReceiveFor(int sock, int ms, std::size_t want = SIZE_MAX) {
    std::vector<Seen> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::uint8_t buf[2048];
    while (std::chrono::steady_clock::now() < end) {
        if (out.size() == want) {
            end = std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(100));
            want = SIZE_MAX;
        }
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        sockaddr_ll from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(sock, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
        Seen s = Read(Bytes(buf, buf + n));
        if (s.dst == kHost) out.push_back(s);
    }
    return out;
}

int RunInNamespace() {
    std::string reason;
    if (!VethLab::PairInOwnNamespace("kvsa", "kvsb", false, &reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return kSkip;
    }
    Simulator sim;
    DeviceConfig a;
    a.mac = kDevA;
    a.name = "Wire A";
    DeviceConfig b;
    b.mac = kDevB;
    b.name = "Wire B";
    b.downloadMode = true;
    sim.AddDevice(a);
    sim.AddDevice(b);
    std::string err;
    CHILD_CHECK(sim.StartOnInterface("kvsa", &err), "StartOnInterface: %s", err.c_str());

    int sock = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    CHILD_CHECK(sock >= 0, "packet socket");
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = static_cast<int>(if_nametoindex("kvsb"));
    CHILD_CHECK(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0, "bind kvsb");

    Bytes disc = HostFrame(kGroup, 8, 0, 0x41, DiscoveryPayload());
    CHILD_CHECK(send(sock, disc.data(), disc.size(), 0) == static_cast<ssize_t>(disc.size()), "send discovery");
    auto seen = ReceiveFor(sock, 1000, 4);
    int acks = 0, responses = 0, inDownload = 0;
    for (const Seen& s : seen) {
        CHILD_CHECK(s.label == 0x41, "label 0x%X", s.label);
        if (s.Kind() == 3) ++acks;
        if (s.Kind() == 2) {
            ++responses;
            if (s.DownloadBit()) ++inDownload;
            CHILD_CHECK(CountedText(FindRid(s.payload, 0xFC0E).value) == (s.sender == kDevA ? "Wire A" : "Wire B"),
                        "name in the response");
        }
    }
    CHILD_CHECK(acks == 2 && responses == 2 && inDownload == 1, "acks %d responses %d download %d", acks, responses,
                inDownload);

    // A unicast request to A reaches A only; the host's ACK is recorded.
    Bytes req = HostFrame(kDevA, 8, 0, 0x42, Payload().Query(0xFC0E).bytes);
    CHILD_CHECK(send(sock, req.data(), req.size(), 0) > 0, "send request");
    seen = ReceiveFor(sock, 500, 2);
    CHILD_CHECK(seen.size() == 2 && seen[0].sender == kDevA && seen[1].sender == kDevA, "unicast answered by A only (%zu)",
                seen.size());
    Bytes ack = HostFrame(kDevA, 8, 3, 0x42, {});
    CHILD_CHECK(send(sock, ack.data(), ack.size(), 0) > 0, "send ack");
    for (int i = 0; i < 100 && sim.Counters(kDevA).acksReceived == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    CHILD_CHECK(sim.Counters(kDevA).acksReceived == 1, "host ACK recorded");
    CHILD_CHECK(sim.Counters(kDevB).requestsReceived == 1, "B saw only the discovery");

    // A frame of another protocol is ignored.
    Bytes ip(60, 0);
    std::copy(kDevA.begin(), kDevA.end(), ip.begin());
    ip[12] = 0x08;
    CHILD_CHECK(send(sock, ip.data(), ip.size(), 0) > 0, "send other");
    CHILD_CHECK(ReceiveFor(sock, 100).empty(), "no answer to other traffic");
    close(sock);
    sim.Stop();

    // Opening an interface that does not exist fails with a reason.
    Simulator none;
    none.AddDevice(a);
    CHILD_CHECK(!none.StartOnInterface("kvs-none", &err) && !err.empty(), "missing interface refused");
    return 0;
}

}  // namespace

TEST(SimulatorInterface, AnswersOnAVethPairInItsOwnNamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace and a veth pair";
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(RunInNamespace());
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child died";
    if (WEXITSTATUS(status) == kSkip) GTEST_SKIP() << "network namespaces or veth are not available here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's message above";
}
