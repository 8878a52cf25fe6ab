// Every fuzz seed and every input that once broke the command-line parser,
// run through the same body as the fuzz target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "CommandLineFuzzBody.h"

namespace {

std::vector<std::filesystem::path> Files(const char* sub) {
    std::vector<std::filesystem::path> out;
    const std::filesystem::path dir = std::filesystem::path(KVR_SOURCE_DIR) / "app" / "fuzz" / sub;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file() && it->path().filename().string()[0] != '.') out.push_back(it->path());
    return out;
}

}  // namespace

TEST(AutomationFuzzRegressions, SeedsAndFixturesKeepTheParserSound) {
    auto files = Files("corpus/command_line_fuzz");
    EXPECT_FALSE(files.empty()) << "the seed corpus is missing";
    auto fixtures = Files("regressions");
    EXPECT_FALSE(fixtures.empty()) << "the regression fixtures are missing";
    files.insert(files.end(), fixtures.begin(), fixtures.end());
    for (const auto& p : files) {
        std::ifstream in(p, std::ios::binary);
        const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        EXPECT_TRUE(automationfuzz::RunOne(bytes.data(), bytes.size())) << p;
    }
}
