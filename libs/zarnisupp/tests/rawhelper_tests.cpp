// The raw-frame helper: what it refuses, what it gives up once its adapter is
// open, and an ordinary user's process receiving and sending through it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "HelperProtocol.h"
#include "PacketDriver.h"
#include "Unprivileged.h"
#include "TempDir.h"
#include "VethLab.h"
#include "zarnisupp.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace kvr::zs::helper;
const std::string kHelper = KVR_BUNDLE_DIR "/kvr-rawhelper";

// A helper this test starts over sockets of its own (or without them).
class Started {
public:
    explicit Started(bool sockets = true) {
        int req[2], frm[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, req), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, frm), 0);
        const int childReq = ::fcntl(req[1], F_DUPFD_CLOEXEC, 10), childFrm = ::fcntl(frm[1], F_DUPFD_CLOEXEC, 10);
        posix_spawn_file_actions_t fa;
        ::posix_spawn_file_actions_init(&fa);
        if (sockets) {
            ::posix_spawn_file_actions_adddup2(&fa, childReq, kRequestFd);
            ::posix_spawn_file_actions_adddup2(&fa, childFrm, kFramesFd);
        }
        char* argv[] = {const_cast<char*>("kvr-rawhelper"), nullptr};
        char* envp[] = {nullptr};
        EXPECT_EQ(::posix_spawn(&m_pid, kHelper.c_str(), &fa, nullptr, argv, envp), 0);
        ::posix_spawn_file_actions_destroy(&fa);
        for (int fd : {req[1], frm[1], childReq, childFrm}) ::close(fd);
        m_req = req[0];
        m_frames = frm[0];
    }
    ~Started() { Status(); }

    // "K", or "E" and the helper's reason.
    bool Tell(const Bytes& request) {
        return ::send(m_req, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }
    std::string Ask(const Bytes& request) {
        if (!Tell(request)) return "send failed";
        pollfd p{m_req, POLLIN, 0};
        char reply[600];
        if (::poll(&p, 1, 5000) != 1) return "no reply";
        const ssize_t n = ::recv(m_req, reply, sizeof reply, 0);
        return n > 0 ? std::string(reply, static_cast<std::size_t>(n)) : "ended";
    }
    void Close(bool requests) {
        int& fd = requests ? m_req : m_frames;
        ::close(fd);
        fd = -1;
    }
    // Closes what is left and waits for the end: the exit status, -1 when killed.
    int Status() {
        for (int* fd : {&m_req, &m_frames})
            if (*fd >= 0) ::close(*fd), *fd = -1;
        if (m_pid > 0) {
            int status = 0;
            ::waitpid(m_pid, &status, 0);
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1;
        }
        return m_status;
    }
    // One line of the helper's /proc status ("CapEff", "NoNewPrivs", ...), its value.
    std::string Proc(const std::string& key) const {
        std::ifstream in("/proc/" + std::to_string(m_pid) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.rfind(key + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", key.size() + 1));
        return {};
    }

private:
    pid_t m_pid = -1;
    int m_req = -1, m_frames = -1, m_status = -1;
};

Bytes Frame(std::size_t n) { return Bytes(n, 0x5A); }

TEST(RawHelper, RefusesMalformedAndUnwelcomeRequestsWithAReasonAndGoesOnServing) {
    struct Row {
        const char* what;
        std::vector<Bytes> before;
        Bytes request;
        std::string reply;
    };
    const Bytes hello = HelloRequest();
    Bytes tooLong = SendRequest(Frame(1514).data(), 1514);
    tooLong.push_back(0);
    Bytes wayTooLong(3000, 'S');
    const Row rows[] = {
        {"hello first", {}, OpenRequest("lo", false), "Eno hello came first"},
        {"second parent", {hello}, hello, "Ethis helper already serves a parent"},
        {"other version", {}, {'H', 1, 0, 0, 0}, "Eprotocol version 1 is not served"},
        {"slash", {hello}, OpenRequest("a/b", false), "Enot an adapter name"},
        {"dot dot", {hello}, OpenRequest("..", false), "Enot an adapter name"},
        {"name too long", {hello}, OpenRequest("abcdefghijklmnop", false), "Enot an adapter name"},
        {"unknown adapter", {hello}, OpenRequest("kvnone0", false), "Eno adapter 'kvnone0'"},
        {"second open", {hello, OpenRequest("kvnone0", false)}, OpenRequest("lo", false),
         "Ethis helper already opened an adapter"},
        {"frame of 1515 bytes", {hello}, tooLong, "Ra frame must be 14 to 1514 bytes long"},
        {"frame of 13 bytes", {hello}, SendRequest(Frame(13).data(), 13), "Ra frame must be 14 to 1514 bytes long"},
        {"message beyond any request", {hello}, wayTooLong, "Rrequest too long"},
        {"frame before open", {hello}, SendRequest(Frame(60).data(), 60), "Rno adapter is open"},
        {"unknown kind", {hello}, {'Z', 1}, "Eunknown request"},
        {"open without its name", {hello}, {'O', 0, 4, 'e', 't'}, "Erequest of the wrong length"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Started h;
        for (const Bytes& b : row.before) h.Ask(b);
        EXPECT_EQ(h.Ask(row.request), row.reply);
        EXPECT_EQ(h.Ask(FilterRequest(1)).substr(0, 1), "E") << "the helper no longer answers";
        EXPECT_EQ(h.Status(), 0);
    }
}

TEST(RawHelper, EndsWhenItsParentClosesEitherSocketAndRefusesToRunWithoutThem) {
    for (const bool requests : {true, false}) {
        Started h;
        ASSERT_EQ(h.Ask(HelloRequest()), "K");
        h.Close(requests);
        EXPECT_EQ(h.Status(), 0);
    }
    Started alone(false);
    EXPECT_EQ(alone.Status(), 2);
}

TEST(RawHelper, GivesUpEveryCapabilityOnceItsAdapterIsOpen) {
    VethLab lab;
    std::string reason;
    if (!lab.Start(&reason)) GTEST_SKIP() << reason;
    Started h;
    ASSERT_EQ(h.Ask(HelloRequest()), "K");
    EXPECT_EQ(h.Proc("NoNewPrivs"), "1");
    ASSERT_EQ(h.Ask(OpenRequest(lab.NearIf(), false)), "K");
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) EXPECT_EQ(h.Proc(set), "0000000000000000") << set;
    // A frame that goes out is not answered: the next reply is the filter's.
    ASSERT_TRUE(h.Tell(SendRequest(Frame(60).data(), 60)));
    EXPECT_EQ(h.Ask(FilterRequest(1)), "K") << "an open adapter still sends";
}

TEST(RawHelper, AnOrdinaryUserReceivesAndSendsThroughTheHelperOnly) {
    VethLab lab;
    std::string reason;
    if (!lab.Start(&reason)) GTEST_SKIP() << reason;
    TempDir dir;
    std::filesystem::permissions(dir.Path(), std::filesystem::perms(0755));
    // As installed (group-owned, 0750), one copy with the capability, one without
    // it and one its group may not run.
    const std::string withCap = dir.Path() + "/with", without = dir.Path() + "/without", closed = dir.Path() + "/closed";
    for (const std::string& copy : {withCap, without, closed}) {
        std::filesystem::copy_file(kHelper, copy);
        ASSERT_EQ(::chown(copy.c_str(), 0, copy == closed ? 0 : 65534), 0);
        ASSERT_EQ(::chmod(copy.c_str(), 0750), 0);
    }
    if (std::system(("setcap cap_net_raw+ep " + withCap + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "setcap is missing or this file system keeps no capabilities";
    const VethLab::Mac near = lab.NearMac(), far = lab.FarMac();
    Bytes mine(60, 0), other;
    std::copy(near.begin(), near.end(), mine.begin());
    std::copy(far.begin(), far.end(), mine.begin() + 6);
    mine[13] = 46;
    const std::uint8_t snap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x07, 0xF5};
    std::copy(snap, snap + 6, mine.begin() + 14);
    other = mine;
    other[19] = 0xF6;  // another organisation's SNAP frame: never handed on

    const int status = kvr::test::RunUnprivilegedStatus([&] {
        std::int32_t count = 0, index = -1;
        char name[512];
        kvr::zs::SetRawPath(kvr::zs::RawPath::Auto, without);
        if (ZARNISUPP_ScanForEthernetAdapters(&count, 0) != 1) return 1;
        for (std::int32_t i = 0; i < count; ++i)
            if (ZARNISUPP_GetAdapterName(i, name, sizeof name) == 1 && lab.NearIf() == name) index = i;
        if (index < 0) return 2;
        if (ZARNISUPP_OpenAdapter(index) != 0) return 3;  // the helper without its capability
        kvr::zs::SetRawPath(kvr::zs::RawPath::Auto, closed);
        if (ZARNISUPP_OpenAdapter(index) != 0) return 4;  // a helper not ours to run
        kvr::zs::SetRawPath(kvr::zs::RawPath::Auto, withCap);
        if (ZARNISUPP_OpenAdapter(index) != 1) return 5;
        if (!lab.FarSend(other) || !lab.FarSend(mine)) return 6;
        Bytes got(1514);
        std::int32_t none = 1, length = 0;
        for (int i = 0; i < 100 && none; ++i)
            if (ZARNISUPP_WaitForRawPacket(index, 20) >= 0 && ZARNISUPP_ReceiveRawPacket(index, &none, &length, got.data()) != 1)
                return 7;
        got.resize(static_cast<std::size_t>(length));
        if (none || got != mine) return 8;
        Bytes back = mine;
        std::copy(far.begin(), far.end(), back.begin());
        std::copy(near.begin(), near.end(), back.begin() + 6);
        if (ZARNISUPP_SendRawPacket(index, 60, back.data()) != 1) return 9;
        const auto collected = lab.FarCollect(1000, 1);
        if (collected.size() != 1 || collected[0] != back) return 10;
        return ZARNISUPP_CloseAdapter(index) == 1 ? 0 : 11;
    });
    EXPECT_EQ(status, 0) << "1-2 scan, 3 opened without the capability, 4 opened with a helper it may not run, "
                            "5 did not open, 7-8 receive, 9-10 send";
}

}  // namespace
