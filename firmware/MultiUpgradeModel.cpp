#include "MultiUpgradeModel.h"

#include <algorithm>
#include <exception>

#include "FirmwareWizardModel.h"
#include "FleetUpgrade.h"
#include "QfwHeader.h"
#include "QfwIntegrity.h"
#include "Seams.h"
#include "basDebug.h"
#include "basUtils.h"
#include "clsZarn.h"

namespace kvr {
namespace {

const ModuleLog Log("frmMultiUpgrade");

using State = MultiUpgradeRow::State;

// The work's thread never touches windows.
class NoEvents : public EventPump {
public:
    void DoEvents() override {}
};

std::string VersionOf(const clsZarn& z) {
    return z.IsFirmwareIdValid ? std::to_string(z.FirmwareID) + "." + std::to_string(z.FirmwareVersion) : "";
}

std::string HardwareText(long id, long version) { return std::to_string(id) + "." + std::to_string(version); }

// A device's share of its whole upgrade per stage: entering download mode,
// erasing, then the upload (the restart wait follows at 100 %).
int OverallPercent(int stage, long percent) {
    static const int kStart[] = {0, 5, 10};
    static const int kSpan[] = {5, 5, 90};
    if (stage < 0 || stage > 2) return 0;
    return kStart[stage] + static_cast<int>(percent) * kSpan[stage] / 100;
}

}  // namespace

MultiUpgradeModel::MultiUpgradeModel(std::vector<std::shared_ptr<clsZarn>> devices, int parallel)
    : m_devices(std::move(devices)), m_parallel(std::max(1, parallel)) {
    for (const auto& z : m_devices) {
        MultiUpgradeRow row;
        if (z) {
            row.name = z->Name;
            row.mac = FormatMacAddress(z->MAC);
            row.currentVersion = VersionOf(*z);
        }
        row.fitText = "no file chosen";
        m_view.rows.push_back(row);
    }
    m_view.notice = "Choose a firmware file.";
}

MultiUpgradeModel::~MultiUpgradeModel() { Wait(); }

void MultiUpgradeModel::Wait() {
    if (m_worker.joinable()) m_worker.join();
}

bool MultiUpgradeModel::Downloading() const {
    std::lock_guard lock(m_mutex);
    return m_view.downloading;
}

MultiUpgradeView MultiUpgradeModel::Snapshot() const {
    std::lock_guard lock(m_mutex);
    return m_view;
}

bool MultiUpgradeModel::SetFile(const std::string& fileName) {
    {
        std::lock_guard lock(m_mutex);
        if (m_view.downloading) return false;
    }
    Wait();
    // The file as the wizard takes it: a header with the signature, then the whole file checked.
    QfwHeader header;
    std::string problem;
    const QfwReadStatus read = ReadQfwHeaderFile(fileName, header);
    if (read != QfwReadStatus::Ok || !header.HasMagic())
        problem = "'" + fileName + "': " + LoadResStringWrapper(4027);
    else if (!VerifyQfwIntegrity(fileName))
        problem = "'" + fileName + "': " + LoadResStringWrapper(4042);
    if (!problem.empty()) Log(problem, LEVEL_ERROR, "SetFile");

    std::lock_guard lock(m_mutex);
    m_view.fileName = fileName;
    m_view.fileVersion = problem.empty() ? header.VersionText() : std::string();
    for (std::size_t i = 0; i < m_view.rows.size(); ++i) {
        MultiUpgradeRow& row = m_view.rows[i];
        const clsZarn* z = m_devices[i].get();
        row.newVersion = m_view.fileVersion;
        row.state = State::LeftOut;
        row.stage.clear();
        row.percent = 0;
        row.result.clear();
        row.canRetry = false;
        row.fits = false;
        if (!problem.empty()) {
            row.fitText = "no: the file is not usable";
            continue;
        }
        if (!z) {
            row.fitText = "no: the device is gone";
            continue;
        }
        if (!IsHardwareCompatible(*z, header)) {
            // As page 2 of the wizard: left out, with the hardware both sides name.
            row.fitText = "no: its hardware is " + HardwareText(z->HardwareID, z->HardwareVersion) +
                          ", the file is for " + HardwareText(header.HardwareID, header.CompatibleHardwareVersion);
            row.result = "left out";
            Log("'" + row.mac + "' is left out: " + row.fitText.substr(4) + ".", LEVEL_WARNING, "SetFile");
            continue;
        }
        row.fits = true;
        row.state = State::Ready;
        row.fitText = "yes";
        if (!KeepsConfiguration(*z, header)) row.fitText += " (its configuration will be erased)";
        else if (IsDowngrade(*z, header)) row.fitText += " (older version)";
    }
    const bool any = std::any_of(m_view.rows.begin(), m_view.rows.end(), [](const auto& r) { return r.fits; });
    if (!problem.empty())
        m_view.notice = problem;
    else if (!any)
        m_view.notice = "The file fits none of the selected devices (see why in the list): nothing to upgrade.";
    else
        m_view.notice.clear();
    m_view.canStart = any;
    return any;
}

bool MultiUpgradeModel::Start() {
    std::vector<std::size_t> rows;
    {
        std::lock_guard lock(m_mutex);
        if (m_view.downloading || !m_view.canStart) return false;
        for (std::size_t i = 0; i < m_view.rows.size(); ++i)
            if (m_view.rows[i].state == State::Ready) rows.push_back(i);
        if (rows.empty()) return false;
    }
    Begin(std::move(rows), false);
    return true;
}

bool MultiUpgradeModel::Retry(std::size_t row) {
    {
        std::lock_guard lock(m_mutex);
        if (m_view.downloading || row >= m_view.rows.size() || !m_view.rows[row].canRetry) return false;
    }
    Begin({row}, true);
    return true;
}

void MultiUpgradeModel::Begin(std::vector<std::size_t> rows, bool again) {
    Wait();  // the last work has ended; its thread is joined here
    {
        std::lock_guard lock(m_mutex);
        m_view.downloading = true;
        m_view.canStart = false;
        m_view.notice = "Upgrading " + std::to_string(rows.size()) + " device(s); do not interrupt.";
        for (std::size_t r : rows) {
            MultiUpgradeRow& row = m_view.rows[r];
            row.state = State::Running;
            row.stage = "waiting";
            row.percent = 0;
            row.result.clear();
            row.canRetry = false;
        }
    }
    m_worker = std::thread([this, rows = std::move(rows), again] { Work(rows, again); });
}

void MultiUpgradeModel::Work(std::vector<std::size_t> rows, bool again) {
    NoEvents noEvents;
    const ThreadSeams seams(nullptr, &noEvents, &HeadlessPrompter());
    std::vector<std::shared_ptr<clsZarn>> devices;
    for (std::size_t r : rows) devices.push_back(m_devices[r]);
    LaneOptions options;
    options.parallel = m_parallel;
    try {
        RunInLanes(devices, options, [&](std::size_t i) { UpgradeRow(rows[i], again); });
    } catch (...) {
        LogTrappedError(Log, "Work");
    }
    std::lock_guard lock(m_mutex);
    // A row whose work ended without a word (it threw) is not left running.
    for (std::size_t r : rows) {
        MultiUpgradeRow& row = m_view.rows[r];
        if (row.state != State::Running) continue;
        row.state = State::Failed;
        row.stage.clear();
        row.result = "failed: the upgrade ended unexpectedly (see the status log)";
        row.canRetry = true;
    }
    m_view.downloading = false;
    Summarise();
}

void MultiUpgradeModel::UpgradeRow(std::size_t row, bool again) {
    const std::shared_ptr<clsZarn> z = m_devices[row];
    if (again) {
        SetStage(row, "waiting for it to answer");
        if (!DeviceAnswersAgain(*z, {})) {
            EndRow(row, false, "it did not answer again");
            return;
        }
    }
    SetStage(row, "starting");
    DeviceUpgrade upgrade(z, Snapshot().fileName);
    switch (upgrade.Prepare()) {
        case DeviceUpgrade::Prepared::AdapterFailed:
            EndRow(row, false, "its network adapter '" + z->NICName + "' could not be opened");
            return;
        case DeviceUpgrade::Prepared::NotAccepted:
            EndRow(row, false, "the firmware wizard did not accept the file for it");
            return;
        case DeviceUpgrade::Prepared::Ready: break;
    }
    StageProgress bars([this, row](int stage, long percent) { Progress(row, stage, percent); });
    const bool ok = upgrade.Download(&bars.DownloadMode(), &bars.Erase(), &bars.Upload());
    const FirmwareDownloadResult& result = upgrade.Result();
    switch (JudgeDownload(result, ok)) {
        case DownloadVerdict::Failed:
            EndRow(row, false, result.failure.empty() ? "the download did not go in" : result.failure);
            return;
        case DownloadVerdict::NotBack:
            EndRow(row, false, "it did not come back in time after the download; the version it runs is unknown");
            return;
        case DownloadVerdict::OtherVersion:
            EndRow(row, false, "it came back running version " + result.versionAfter + ", not the file's version");
            return;
        case DownloadVerdict::Upgraded: break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_view.rows[row].currentVersion = result.versionAfter;
    }
    EndRow(row, true, "upgraded, now runs " + result.versionAfter);
}

void MultiUpgradeModel::Progress(std::size_t row, int stage, long percent) {
    static const char* const kStages[] = {"entering download mode", "erasing", "uploading"};
    // A bar set back before its stage begins says nothing.
    if (stage < 0 || stage > 2 || (stage != 0 && percent == 0)) return;
    std::lock_guard lock(m_mutex);
    MultiUpgradeRow& r = m_view.rows[row];
    r.stage = stage == 2 && percent >= 100 ? "waiting for the restart" : kStages[stage];
    r.percent = std::max(r.percent, OverallPercent(stage, percent));
}

void MultiUpgradeModel::SetStage(std::size_t row, const std::string& stage) {
    std::lock_guard lock(m_mutex);
    m_view.rows[row].stage = stage;
}

void MultiUpgradeModel::EndRow(std::size_t row, bool upgraded, const std::string& text) {
    std::lock_guard lock(m_mutex);
    MultiUpgradeRow& r = m_view.rows[row];
    r.state = upgraded ? State::Upgraded : State::Failed;
    r.stage.clear();
    if (upgraded) r.percent = 100;
    r.result = upgraded ? text : "failed: " + text;
    r.canRetry = !upgraded;
    Log("'" + r.mac + "': " + r.result + ".", upgraded ? LEVEL_USER : LEVEL_ERROR, "Upgrade");
}

void MultiUpgradeModel::Summarise() {
    int upgraded = 0, failed = 0;
    for (const auto& r : m_view.rows) {
        upgraded += r.state == State::Upgraded;
        failed += r.state == State::Failed;
    }
    const std::string counts = std::to_string(upgraded) + " upgraded, " + std::to_string(failed) + " failed";
    Log(counts + ".", LEVEL_USER, "Upgrade");
    m_view.notice = counts + (failed > 0 ? " (Retry tries a failed device again)." : ".");
    m_view.canStart = std::any_of(m_view.rows.begin(), m_view.rows.end(),
                                  [](const auto& r) { return r.state == State::Ready; });
}

}  // namespace kvr
