// The three places that list the options (--help, the manual page, the
// command-line help page) list the same options with the same texts, the
// manual pages pass groff's warnings, and --help / --version answer without a
// display, a database or any file written.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>

#include "CommandLineHelp.h"
#include "sim/SimOptions.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs a shell command line; its standard output, and its exit status in *status.
std::string Shell(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int rc = ::pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Squeeze(const std::string& s) {
    return std::regex_replace(std::regex_replace(s, std::regex("\\s+"), " "), std::regex("^ | $"), "");
}

using Listing = std::map<std::string, std::string>;  // "/D, --download FILE" -> description

// --help: "  forms" then the description indented by 8, up to a blank line.
Listing FromHelp(const std::string& text) {
    Listing l;
    const std::size_t from = text.find("Options");
    const std::size_t to = std::min(text.find("\nEnvironment:"), text.find("\nCommands on"));
    const std::string section = from == std::string::npos ? "" : text.substr(from, to - from) + "\n";
    static const std::regex entry("\n  (\\S[^\n]*)\n((?:        [^\n]*\n?)+)");
    for (std::sregex_iterator it(section.begin(), section.end(), entry), end; it != end; ++it)
        l[(*it)[1]] = Squeeze((*it)[2]);
    return l;
}

// Manual page source: ".TP", the forms, the description up to the next request.
Listing FromRoff(const std::string& text) {
    Listing l;
    auto plain = [](std::string s) {
        s = std::regex_replace(s, std::regex("\\\\f[BIR]"), "");
        return std::regex_replace(std::regex_replace(s, std::regex("\\\\-"), "-"), std::regex("\\\\e"), "\\");
    };
    static const std::regex entry("\\.TP\n([^\n]*)\n((?:[^.\n][^\n]*\n)+)");
    const std::size_t from = text.find(".SH OPTIONS");
    const std::string options = from == std::string::npos ? "" : text.substr(from, text.find("\n.SH", from + 1) - from + 1);
    for (std::sregex_iterator it(options.begin(), options.end(), entry), end; it != end; ++it)
        l[plain((*it)[1])] = Squeeze(plain((*it)[2]));
    return l;
}

// Help page rows: short form, long form, value, meaning.
Listing FromHtml(const std::string& text) {
    Listing l;
    auto plain = [](std::string s) {
        s = std::regex_replace(s, std::regex("<[^>]*>"), "");
        s = std::regex_replace(std::regex_replace(s, std::regex("&lt;"), "<"), std::regex("&gt;"), ">");
        return std::regex_replace(s, std::regex("&amp;"), "&");
    };
    static const std::regex row("<tr><td>(.*?)</td><td>(.*?)</td><td>(.*?)</td>\\s*<td>([\\s\\S]*?)</td></tr>");
    for (std::sregex_iterator it(text.begin(), text.end(), row), end; it != end; ++it) {
        const std::string s = plain((*it)[1]), lf = plain((*it)[2]), v = plain((*it)[3]);
        const std::string forms = s + (s.empty() || lf.empty() ? "" : ", ") + lf + (v.empty() ? "" : " " + v);
        l[forms] = Squeeze(plain((*it)[4]));
    }
    return l;
}

Listing FromTable(const std::vector<kvr::doc::OptionDoc>& docs) {
    Listing l;
    for (const auto& d : docs) {
        const std::string forms =
            d.shortForm + (d.shortForm.empty() ? "" : ", ") + d.longForm + (d.value.empty() ? "" : " " + d.value);
        l[forms] = Squeeze(kvr::doc::PlainText(d.description));
    }
    return l;
}

const fs::path kBundle = KVR_BUNDLE_DIR;
const fs::path kMan = KVR_MAN_DIR;

}  // namespace

TEST(Documentation, HelpManualPageAndHelpPageListTheSameOptions) {
    int status = -1;
    const std::string help = Shell("env -i " + (kBundle / "KVRinstaller").string() + " --help", &status);
    EXPECT_EQ(status, 0);
    const Listing table = FromTable(kvr::ProgramOptionDocs());
    ASSERT_GE(table.size(), 14u);  // twelve automation options, --help, --version
    EXPECT_EQ(FromHelp(help), table);
    EXPECT_EQ(FromRoff(Read(kMan / "KVRinstaller.1")), table);
    EXPECT_EQ(FromHtml(Read(kBundle / "help" / "commandline.html")), table);

    const std::string simHelp = Shell((kBundle / "kvrsim").string() + " --help", &status);
    EXPECT_EQ(status, 0);
    const Listing simTable = FromTable(kvr::sim::SimOptionDocs());
    EXPECT_EQ(FromHelp(simHelp), simTable);
    EXPECT_EQ(FromRoff(Read(kMan / "kvrsim.1")), simTable);
}

TEST(Documentation, ManualPagesPassGroffWarnings) {
    int status = -1;
    if (Shell("command -v groff", &status).empty()) GTEST_SKIP() << "groff is not installed";
    for (const char* page : {"KVRinstaller.1", "kvrsim.1"}) {
        const std::string warnings = Shell("groff -ww -man -Tutf8 -z " + (kMan / page).string() + " 2>&1", &status);
        EXPECT_EQ(warnings, "") << page;
        EXPECT_EQ(status, 0) << page;
    }
}

// No display, no database, nothing written beside the program.
TEST(Documentation, HelpAndVersionNeedNoDisplayAndWriteNothing) {
    const fs::path dir = fs::temp_directory_path() / ("kvr-docs-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::copy_file(kBundle / "KVRinstaller", dir / "KVRinstaller");
    int status = -1;
    const std::string version = Shell("cd " + dir.string() + " && env -i ./KVRinstaller --version", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version, kvr::VersionText());
    const std::string help =
        Shell("cd " + dir.string() + " && env -i HOME=" + dir.string() + " ./KVRinstaller /U -h", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(help, kvr::HelpText());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 1);  // only the program
    fs::remove_all(dir);
}
