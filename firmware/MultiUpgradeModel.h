#pragma once
// Several devices upgraded from one click, without windows: the file is
// chosen and checked once; each selected device is judged against it as the
// wizard's second page would judge it (its version and the file's, whether
// the file fits it and why not); Start upgrades every device the file fits,
// at once, in lanes (DownloadLanes.h); a device that failed can be tried
// again on its own.
//
// The work runs on a thread of the model's own (one lane per device beside
// it), so the caller's thread stays free: a window polls Snapshot(), which is
// taken under the model's lock, and refuses to close while Downloading().
// Questions the downloads would ask get their negative answer (after being
// logged), so a step that fails ends that device's row with its reason
// instead of waiting for somebody; Retry is the way to try again.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DownloadLanes.h"

class clsZarn;

namespace kvr {

struct MultiUpgradeRow {
    enum class State {
        LeftOut,   // the file does not fit it (or there is no usable file)
        Ready,     // will be upgraded by Start
        Running,   // being worked on
        Upgraded,  // now runs the file's version
        Failed,    // see result; Retry may try again
    };
    std::string name;            // device text (one character per byte)
    std::string mac;             // with colons
    std::string currentVersion;  // "" unknown
    std::string newVersion;      // the file's ("" no file)
    bool fits = false;
    std::string fitText;         // "yes", "yes (...)", or "no: why"
    State state = State::LeftOut;
    std::string stage;           // what it is doing now ("" before and after)
    int percent = 0;             // of its whole upgrade
    std::string result;          // "upgraded, now ...", "failed: why", or ""
    bool canRetry = false;
};

struct MultiUpgradeView {
    std::string fileName;
    std::string fileVersion;
    // Why Start cannot run, or what the last run did.
    std::string notice;
    bool canStart = false;
    bool downloading = false;
    std::vector<MultiUpgradeRow> rows;
};

class MultiUpgradeModel {
public:
    // `parallel`: devices of one adapter worked on at once.
    explicit MultiUpgradeModel(std::vector<std::shared_ptr<clsZarn>> devices, int parallel = kDefaultParallel);
    // Waits for work under way.
    ~MultiUpgradeModel();
    MultiUpgradeModel(const MultiUpgradeModel&) = delete;
    MultiUpgradeModel& operator=(const MultiUpgradeModel&) = delete;

    // Checks the file whole (header, signature, sizes, checksums) and judges
    // every device against it. False, with the reason as the notice, when no
    // device can take it; not while a download runs.
    bool SetFile(const std::string& fileName);
    // Upgrades every Ready device; false when there is none or work is under way.
    bool Start();
    // Tries one failed device again once it answers; false when that row cannot be retried now.
    bool Retry(std::size_t row);
    bool Downloading() const;
    MultiUpgradeView Snapshot() const;
    // Returns when the work under way has ended.
    void Wait();

private:
    void Begin(std::vector<std::size_t> rows, bool again);
    void Work(std::vector<std::size_t> rows, bool again);
    void UpgradeRow(std::size_t row, bool again);
    void Progress(std::size_t row, int stage, long percent);
    void SetStage(std::size_t row, const std::string& stage);
    void EndRow(std::size_t row, bool upgraded, const std::string& text);
    // Under the lock: the notice after a run, and whether Start can run again.
    void Summarise();

    const std::vector<std::shared_ptr<clsZarn>> m_devices;
    const int m_parallel;
    mutable std::mutex m_mutex;  // guards m_view
    MultiUpgradeView m_view;
    std::thread m_worker;
};

}  // namespace kvr
