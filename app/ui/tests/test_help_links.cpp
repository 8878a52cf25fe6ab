// The help pages as shipped: every link between pages leads to a page (and
// place) that exists, nothing points outside the help folder, the markup is
// balanced, every page can be reached from the start page, the pages the
// program opens by message number exist, and the build copied them all into
// the application directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kSource = fs::path(KVR_SOURCE_DIR) / "data" / "help";
const fs::path kBundle = fs::path(KVR_BUNDLE_DIR) / "help";

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Page {
    std::string name;
    std::string text;
    std::vector<std::string> links;  // href and src values
    std::set<std::string> anchors;   // id and name values
};

std::map<std::string, Page> LoadPages(const fs::path& folder) {
    std::map<std::string, Page> pages;
    static const std::regex attr(R"re(\s(href|src|id|name)\s*=\s*"([^"]*)")re", std::regex::icase);
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".html") continue;
        Page page;
        page.name = entry.path().filename().string();
        page.text = ReadFile(entry.path());
        for (auto it = std::sregex_iterator(page.text.begin(), page.text.end(), attr); it != std::sregex_iterator();
             ++it) {
            std::string kind = (*it)[1];
            for (char& c : kind) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (kind == "href" || kind == "src") {
                page.links.push_back((*it)[2]);
            } else {
                page.anchors.insert((*it)[2]);
            }
        }
        pages[page.name] = page;
    }
    return pages;
}

// Splits "page.html#place" (page empty for a place on the same page).
std::pair<std::string, std::string> SplitLink(const std::string& link) {
    const auto hash = link.find('#');
    if (hash == std::string::npos) return {link, ""};
    return {link.substr(0, hash), link.substr(hash + 1)};
}

// Problems of the markup: unbalanced elements and bare ampersands.
std::vector<std::string> MarkupProblems(const std::string& text) {
    static const std::set<std::string> kVoid = {"meta", "link", "br", "hr", "img", "input", "col", "wbr"};
    static const std::regex tag(R"(<(/?)([a-zA-Z][a-zA-Z0-9]*)[^>]*>)");
    static const std::regex ampersand(R"(&(?![a-zA-Z]+;|#[0-9]+;))");
    std::vector<std::string> problems;
    std::vector<std::string> open;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), tag); it != std::sregex_iterator(); ++it) {
        std::string name = (*it)[2];
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (kVoid.count(name)) continue;
        if ((*it)[1].length() == 0) {
            open.push_back(name);
        } else if (open.empty() || open.back() != name) {
            problems.push_back("</" + name + "> closes " + (open.empty() ? std::string("nothing") : "<" + open.back() + ">"));
            return problems;
        } else {
            open.pop_back();
        }
    }
    for (const auto& o : open) problems.push_back("<" + o + "> is never closed");
    if (std::regex_search(text, ampersand)) problems.push_back("bare '&' (write &amp;)");
    return problems;
}

// The pages as they ship (commandline.html is made from its template).
TEST(HelpPages, EveryLinkLeadsToAnExistingPageAndPlace) {
    const auto pages = LoadPages(kBundle);
    ASSERT_FALSE(pages.empty()) << kBundle;
    for (const auto& [name, page] : pages) {
        for (const std::string& link : page.links) {
            SCOPED_TRACE(name + ": " + link);
            // Pages are read from the help folder only: no network, no other folders.
            EXPECT_EQ(link.find(':'), std::string::npos) << "links must stay inside the help folder";
            EXPECT_NE(link.rfind('/', 0), 0u) << "absolute path";
            EXPECT_EQ(link.find(".."), std::string::npos) << "leaves the help folder";
            const auto [file, place] = SplitLink(link);
            const std::string target = file.empty() ? name : file;
            EXPECT_TRUE(fs::is_regular_file(kBundle / target)) << "missing file " << target;
            if (!place.empty()) {
                const auto found = pages.find(target);
                ASSERT_NE(found, pages.end());
                EXPECT_TRUE(found->second.anchors.count(place)) << "no place '" << place << "' in " << target;
            }
        }
    }
}

TEST(HelpPages, MarkupIsPlainBalancedHtmlWithTheSharedStylesheet) {
    for (const auto& [name, page] : LoadPages(kBundle)) {
        SCOPED_TRACE(name);
        EXPECT_EQ(page.text.rfind("<!DOCTYPE html>", 0), 0u);
        EXPECT_TRUE(std::regex_search(page.text, std::regex("<title>[^<]+</title>")));
        EXPECT_NE(page.text.find(R"(<link rel="stylesheet" type="text/css" href="help.css">)"), std::string::npos);
        EXPECT_EQ(MarkupProblems(page.text), std::vector<std::string>{});
        EXPECT_EQ(page.text.find("<script"), std::string::npos);
    }
}

TEST(HelpPages, TopicPagesExistAndEveryPageCanBeReachedFromTheStartPage) {
    const auto pages = LoadPages(kBundle);
    for (const char* topic : {"1000", "1017", "1101", "1111", "3223", "4023", "4024", "4025", "4032"})
        EXPECT_TRUE(pages.count(std::string(topic) + ".html")) << topic;

    std::set<std::string> reached = {"1000.html"};
    std::vector<std::string> todo = {"1000.html"};
    while (!todo.empty()) {
        const std::string name = todo.back();
        todo.pop_back();
        const auto found = pages.find(name);
        if (found == pages.end()) continue;
        for (const std::string& link : found->second.links) {
            const std::string file = SplitLink(link).first;
            if (file.size() > 5 && file.substr(file.size() - 5) == ".html" && reached.insert(file).second)
                todo.push_back(file);
        }
    }
    for (const auto& [name, page] : pages) EXPECT_TRUE(reached.count(name)) << name << " is not linked from anywhere";
}

TEST(HelpPages, BuildCopiesEveryFileIntoTheApplicationDirectory) {
    for (const auto& entry : fs::directory_iterator(kSource)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".html" && ext != ".css") continue;
        const fs::path copy = kBundle / entry.path().filename();
        ASSERT_TRUE(fs::exists(copy)) << copy;
        EXPECT_EQ(ReadFile(copy), ReadFile(entry.path())) << copy << " is out of date";
    }
}

}  // namespace
