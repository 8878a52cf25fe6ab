#pragma once
// A veth pair between two network namespaces made for one test or benchmark
// run: this process moves into a fresh namespace holding the near end; a helper
// child holds the far end in a namespace of its own and sends, collects or
// echoes frames there on request. Both namespaces vanish with their processes,
// taking the pair with them, so nothing is left behind even after a crash.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

class VethLab {
public:
    using Mac = std::array<std::uint8_t, 6>;
    VethLab() = default;
    ~VethLab();
    VethLab(const VethLab&) = delete;
    VethLab& operator=(const VethLab&) = delete;

    // Sets everything up; false with the reason when this system does not allow it
    // (no privileges for namespaces, no `ip`). Call before any thread is started.
    bool Start(std::string* reason);

    const std::string& NearIf() const { return m_near; }
    const std::string& FarIf() const { return m_far; }
    Mac NearMac() const;
    Mac FarMac() const { return m_farMac; }

    // Runs `ip` with the arguments in this process's namespace; true on exit status 0.
    static bool Ip(const std::vector<std::string>& args);

    // The simpler lab, for a child process of a test: moves this process into
    // a network namespace of its own holding the veth pair a-b, both up; with
    // privateSys also into a mount namespace with its own /sys, so that
    // interface lists show exactly this namespace. False with the reason
    // ("cannot create a network namespace", "cannot mount a private /sys",
    // "cannot create a veth pair") when the system does not allow it.
    static bool PairInOwnNamespace(const std::string& a, const std::string& b, bool privateSys, std::string* reason);

    // Far end: send one frame; collect incoming KVR SNAP frames for up to ms
    // milliseconds or until max frames came.
    bool FarSend(const std::vector<std::uint8_t>& frame);
    std::vector<std::vector<std::uint8_t>> FarCollect(int ms, int max);
    // Far end echoes every KVR SNAP frame back (addresses swapped) until EchoStop().
    bool EchoStart();
    bool EchoStop();

private:
    bool Command(const std::vector<std::uint8_t>& msg, std::vector<std::uint8_t>* reply = nullptr);
    std::string m_near, m_far;
    Mac m_farMac{};
    int m_ctl = -1;
    int m_child = -1;
};

// True for an 802.3 length frame with the KVR SNAP organisation code.
bool IsKvrSnap(const std::uint8_t* f, std::size_t n);
