// The firmware wizard's page flow, warnings and buttons, one row per path a
// user can take, with fake file dialog, integrity check and download.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "LogRecorder.h"
#include "RecordingPrompter.h"
#include "TempAppDir.h"
#include "FirmwareWizardModel.h"
#include "Globals.h"
#include "RunTimeError.h"
#include "basUtils.h"
#include "clsDbManager.h"
#include "clsZarn.h"
#include "sim/QfwMaker.h"

using namespace kvr;
using kvr::sim::QfwSpec;

namespace {

std::string T(long id) { return LoadResStringWrapper(id); }
// Texts joined by the blank line the warnings use.
std::string W(std::initializer_list<long> ids) {
    std::string out;
    for (long id : ids) out += (out.empty() ? "" : "\r\n\r\n") + T(id);
    return out;
}
FirmwareDownloadResult Went(std::string version = "256.769", bool matches = true) {
    return {true, "", std::move(version), matches};
}
const FirmwareDownloadResult kFailed{};

struct Row {
    const char* name;
    std::vector<std::string> files;                  // what the file dialog hands out, in order
    const char* actions;                             // N next, P previous, C cancel, E escape, 2 automation
    std::vector<FirmwareDownloadResult> downloads = {};
    bool eng = false, override = false;
    PromptAnswer answer = PromptAnswer::Yes;
    std::int32_t deviceId = 0x100;                   // the device's FirmwareID
    // Expected.
    int page = 1, step = 1;
    const char* buttons = "NCH";                     // enabled: P N C H F
    std::vector<std::string> prompts = {};
    std::string warnings = "";
    bool imageOnly = false;
    int downloadCalls = 0;
    bool unloaded = false;
    int dialogs = 1;
    std::string saved = "";
    std::string result = "";                         // page 4's version line
    std::string logged = "";                         // an error line
};

}  // namespace

TEST(FirmwareWizardModel, PageFlowWarningsAndButtons) {
    test::TempAppDir app;
    app.CopyTemplate();
    const auto db = std::make_unique<clsDbManager>();  // the remembered file lives in its settings
    ASSERT_NE(G().DbManager, nullptr);
    const std::map<std::string, QfwSpec> kinds = {
        {"same", {.swid = 0x100, .swVersion = 0x301}},       // the device's line, newer
        {"older", {.swid = 0x100, .swVersion = 0x200}},      // the device's line, older
        {"newline", {.swid = 0x200}},                        // another line, higher identifier
        {"lowerline", {.swid = 0x50}},                       // another line, lower identifier
        {"ffff", {.swid = 0xFFFFFFFF, .swVersion = 0x300}},  // "always a new line"
        {"otherhw", {.swid = 0x100, .swVersion = 0x301, .hardwareId = 2}},
        {"nomagic", {.swid = 0x100}},                        // signature spoilt below
        {"corrupt", {.swid = 0x100}},                        // the integrity check refuses it
    };
    for (const auto& [k, spec] : kinds) {
        std::vector<std::uint8_t> bytes = sim::MakeQfw(spec);
        if (k == "nomagic") bytes[3] = 'X';
        ASSERT_TRUE(sim::WriteQfwFile(app.File(k + ".qfw"), bytes, nullptr));
    }
    const std::string same = app.File("same.qfw");
    const std::string ran = "The KVR now runs firmware version 256.769.";
    const std::string incompatible = T(4030) + " (Compatible Hardware Version=2.1).";

    const std::vector<Row> rows = {
        {.name = "same line: image only, no configuration warning, page 4 after the download",
         .files = {"same"}, .actions = "NN", .downloads = {Went()}, .page = 4, .step = 4, .buttons = "HF",
         .warnings = W({4008}), .imageOnly = true, .downloadCalls = 1, .saved = same,
         .result = ran},
        {.name = "device back with another version: page 4 says so plainly", .files = {"same"}, .actions = "NN",
         .downloads = {Went("256.768", false)}, .page = 4, .step = 4, .buttons = "HF", .warnings = W({4008}),
         .imageOnly = true, .downloadCalls = 1, .saved = same,
         .result = "The KVR now runs firmware version 256.768. This is not the version of the firmware file "
                   "(256.769): the KVR did not take the new firmware."},
        {.name = "device not back in time: its version is unknown, not refused", .files = {"same"}, .actions = "NN",
         .downloads = {Went("", false)}, .page = 4, .step = 4, .buttons = "HF", .warnings = W({4008}),
         .imageOnly = true, .downloadCalls = 1, .saved = same, .result = T(4062)},
        {.name = "another line: configuration warning, whole upload, waits on page 2",
         .files = {"newline"}, .actions = "N", .page = 2, .step = 2, .buttons = "PNCH", .warnings = W({4033, 4008}),
         .saved = app.File("newline.qfw")},
        {.name = "older version of the same line: downgrade warning only",
         .files = {"older"}, .actions = "N", .page = 2, .step = 2, .buttons = "PNCH", .warnings = W({4034, 4008}),
         .imageOnly = true, .saved = app.File("older.qfw")},
        {.name = "lower identifier: downgrade in front of the configuration warning",
         .files = {"lowerline"}, .actions = "N", .page = 2, .step = 2, .buttons = "PNCH",
         .warnings = W({4034, 4033, 4008}), .saved = app.File("lowerline.qfw")},
        {.name = "identifier FFFFFFFF never keeps the configuration, also on a device reporting it",
         .files = {"ffff"}, .actions = "N", .deviceId = -1, .page = 2, .step = 2, .buttons = "PNCH",
         .warnings = W({4033, 4008}), .saved = app.File("ffff.qfw")},
        {.name = "incompatible hardware: refused, the dialog opens again",
         .files = {"otherhw"}, .actions = "N", .prompts = {incompatible}, .dialogs = 2},
        {.name = "incompatible hardware with the engineering override: taken after the notice",
         .files = {"otherhw"}, .actions = "N", .eng = true, .override = true, .page = 2, .step = 2,
         .buttons = "PNCH", .prompts = {incompatible + "  \r\n\r\n" + T(4044)}, .warnings = W({4008}),
         .imageOnly = true, .saved = app.File("otherhw.qfw")},
        {.name = "wrong signature, then a good file",
         .files = {"nomagic", "same"}, .actions = "N", .page = 2, .step = 2, .buttons = "PNCH",
         .prompts = {T(4027)}, .warnings = W({4008}), .imageOnly = true, .dialogs = 2, .saved = same},
        {.name = "integrity failure: stays on page 1 without reopening the dialog",
         .files = {"corrupt"}, .actions = "N", .prompts = {"'" + app.File("corrupt.qfw") + "': " + T(4042)}},
        {.name = "failed download stays on page 3; Next tries again, never 'upgraded'",
         .files = {"same"}, .actions = "NNN", .downloads = {kFailed, kFailed}, .page = 3, .step = 3,
         .buttons = "NCH", .warnings = W({4008}), .imageOnly = true, .downloadCalls = 2, .saved = same},
        {.name = "failed download, then Next succeeds",
         .files = {"same"}, .actions = "NNN", .downloads = {kFailed, Went()}, .page = 4, .step = 4, .buttons = "HF",
         .warnings = W({4008}), .imageOnly = true, .downloadCalls = 2, .saved = same, .result = ran},
        {.name = "failed download with a hardware notice, retried, Cancel confirmed: the notice once",
         .files = {"same"}, .actions = "NNNC", .downloads = {{false, "Notice", "", true}, {false, "Notice", "", true}},
         .page = 3, .step = 3, .buttons = "NCH", .prompts = {T(4018)}, .warnings = "Notice\r\n\r\n" + W({4008}),
         .imageOnly = true, .downloadCalls = 2, .unloaded = true, .saved = same},
        {.name = "Previous from page 2 shows page 1 again", .files = {"newline"}, .actions = "NP",
         .warnings = W({4033, 4008}), .saved = app.File("newline.qfw")},
        {.name = "Cancel on page 1 asks the wizard question", .files = {}, .actions = "C",
         .prompts = {T(3140)}, .unloaded = true, .dialogs = 0},
        {.name = "Escape on page 2 answered No stays", .files = {"newline"}, .actions = "NE",
         .answer = PromptAnswer::No, .page = 2, .step = 2, .buttons = "PNCH", .prompts = {T(4018)},
         .warnings = W({4033, 4008}), .saved = app.File("newline.qfw")},
        {.name = "Escape on page 4 is Finish: no question", .files = {"same"}, .actions = "NNE",
         .downloads = {Went()}, .page = 4, .step = 4, .buttons = "HF", .warnings = W({4008}), .imageOnly = true,
         .downloadCalls = 1, .unloaded = true, .saved = same, .result = ran},
        {.name = "page 2 without a file: says so and goes back to page 1", .files = {}, .actions = "2P",
         .prompts = {T(4020)}, .dialogs = 0},
        // A file dialog that throws: the handler logs the error and shows its description.
        {.name = "a numbered error", .files = {"!52"}, .actions = "N", .prompts = {"Bad file name or number"},
         .logged = "Error #52: Bad file name or number in cmdNext_Click"},
        {.name = "out of memory", .files = {"!oom"}, .actions = "N", .prompts = {"Out of memory"},
         .logged = "Error #7: Out of memory in cmdNext_Click"},
        {.name = "another exception", .files = {"!std"}, .actions = "N", .prompts = {"Internal error: no disk"},
         .logged = "Error #51: Internal error: no disk in cmdNext_Click"},
    };

    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        G().EngineeringFeatures = r.eng;
        G().DbManager->SaveSetting(kProgramTitle, "Settings", "LastQfwDownloaded", "-");
        test::RecordingPrompter prompter(r.answer);
        test::LogRecorder log;
        auto device = std::make_shared<clsZarn>();
        device->Name = "Kitchen";
        device->MAC = "0007F5000001";
        device->HardwareID = 1;
        device->HardwareVersion = 1;
        device->IsFirmwareIdValid = true;
        device->FirmwareID = r.deviceId;
        device->FirmwareVersion = 0x300;

        std::deque<std::string> files(r.files.begin(), r.files.end());
        std::deque<FirmwareDownloadResult> downloads(r.downloads.begin(), r.downloads.end());
        int dialogs = 0, downloadCalls = 0;
        std::vector<bool> imageOnlySent;
        FirmwareWizardModel* self = nullptr;
        FirmwareWizardServices s;
        s.ChooseFile = [&](const std::string&, const std::string& filter, const std::string& initial) {
            ++dialogs;
            EXPECT_EQ(filter, T(4047) + " (*.qfw)|*.qfw");
            EXPECT_EQ(initial, "-");  // starts with the remembered file
            if (files.empty()) return std::string();
            if (files.front() == "!52") throw RunTimeError(52, "Bad file name or number");
            if (files.front() == "!oom") throw std::bad_alloc();
            if (files.front() == "!std") throw std::runtime_error("no disk");
            const std::string f = app.File(files.front() + ".qfw");
            files.pop_front();
            return f;
        };
        s.VerifyIntegrity = [](const std::string& f) { return f.find("corrupt") == std::string::npos; };
        s.IsHardwareCompatible = [](const clsZarn& z, const QfwHeader& h) {
            return z.HardwareID == h.HardwareID && z.HardwareVersion <= h.CompatibleHardwareVersion;
        };
        s.Download = [&](const FirmwareDownloadRequest& req) {
            ++downloadCalls;
            imageOnlySent.push_back(req.uploadImageOnly);
            EXPECT_EQ(req.hNIC, 3);  // the wizard's own adapter, not a second opening closed behind its back
            // Nothing of the wizard reacts while the download runs.
            self->CloseRequested();
            self->cmdPrevious_Click();
            EXPECT_FALSE(self->Unloaded());
            EXPECT_EQ(self->View().page, 3);
            EXPECT_FALSE(self->View().nextEnabled || self->View().cancelEnabled || self->View().previousEnabled);
            auto out = downloads.empty() ? kFailed : downloads.front();
            if (!downloads.empty()) downloads.pop_front();
            return out;
        };
        FirmwareWizardModel m(s);
        self = &m;
        m.InitEx(device, 3);
        m.Load();
        if (r.override) m.chkOverrideHardwareCompatibility_Click(true);
        for (const char* a = r.actions; *a; ++a)
            *a == 'N' ? m.cmdNext_Click() : *a == 'P' ? m.cmdPrevious_Click() : *a == 'C' ? m.cmdCancel_Click()
                                        : *a == 'E' ? m.CloseRequested()  : m.GotoStep(2);

        const FirmwareWizardView& v = m.View();
        EXPECT_EQ(v.page, r.page);
        EXPECT_EQ(v.picture, 600 + r.page);
        EXPECT_EQ(m.iStep(), r.step);
        const std::string buttons = std::string(v.previousEnabled ? "P" : "") + (v.nextEnabled ? "N" : "") +
                                    (v.cancelEnabled ? "C" : "") + (v.helpEnabled ? "H" : "") +
                                    (v.finishEnabled ? "F" : "");
        EXPECT_EQ(buttons, r.buttons);
        std::vector<std::string> asked;
        for (const auto& q : prompter.questions) asked.push_back(q.text);
        EXPECT_EQ(asked, r.prompts);
        EXPECT_EQ(v.warnings, r.warnings);
        if (r.page >= 2) {
            EXPECT_EQ(m.UploadImageOnly(), r.imageOnly);
            EXPECT_EQ(v.uploadImageOnlyChecked, r.imageOnly);
            EXPECT_EQ(v.uploadImageOnlyVisible, r.eng);
            EXPECT_EQ(v.selectionWarning, r.imageOnly ? T(4004) : T(4004) + "  " + T(4031));
        }
        for (bool sent : imageOnlySent) EXPECT_EQ(sent, r.imageOnly);
        EXPECT_EQ(downloadCalls, r.downloadCalls);
        EXPECT_EQ(m.Unloaded(), r.unloaded);
        EXPECT_EQ(dialogs, r.dialogs);
        EXPECT_EQ(FirmwareWizardModel::LastQfwDownloaded(), r.saved.empty() ? "-" : r.saved);
        EXPECT_EQ(m.UploadOK(), r.page == 4);
        EXPECT_EQ(v.resultText, r.page == 4 ? r.result : "");
        EXPECT_EQ(log.CountContaining("Error #"), r.logged.empty() ? 0u : 1u) << log.Dump();
        if (!r.logged.empty()) { EXPECT_TRUE(log.Has(r.logged, LEVEL_ERROR, "frmFirmwareWizard")) << log.Dump(); }
    }
    G().EngineeringFeatures = false;
}
