// Every fuzz seed and every input that once broke the receive path, run
// through the same body as the fuzz target (under the sanitizers in the
// sanitizer build), plus the decoded results fixed for the regression files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "SnapFuzzBody.h"

namespace {

std::vector<std::filesystem::path> Files(const char* sub) {
    std::vector<std::filesystem::path> out;
    const std::filesystem::path dir = std::filesystem::path(KVR_SOURCE_DIR) / "snap" / "fuzz" / sub;
    if (!std::filesystem::is_directory(dir)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') out.push_back(e.path());
    }
    return out;
}

std::vector<std::uint8_t> Read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(SnapFuzzRegressions, SeedsAndFixturesRunCleanly) {
    const auto seeds = Files("corpus");
    const auto fixtures = Files("regressions");
    EXPECT_FALSE(seeds.empty()) << "the seed corpus is missing";
    for (const auto& p : seeds) {
        SCOPED_TRACE(p.string());
        const auto bytes = Read(p);
        snapfuzz::RunOne(bytes.data(), bytes.size());
    }
    for (const auto& p : fixtures) {
        SCOPED_TRACE(p.string());
        const auto bytes = Read(p);
        snapfuzz::RunOne(bytes.data(), bytes.size());
    }
    // Edge inputs that need no file.
    snapfuzz::RunOne(nullptr, 0);
    const std::uint8_t one = 0xAA;
    snapfuzz::RunOne(&one, 1);
}

}  // namespace
