#pragma once
// A private application directory for one test: a temporary directory made
// the program's AppDirectory, removed again afterwards.
#include <cstdlib>
#include <string>

#include "Globals.h"
#include "TempDir.h"
#include "Unprivileged.h"

namespace kvr::test {

class TempAppDir : public TempDir {
public:
    TempAppDir() : TempDir("kvr-app") {
        if (Path().empty()) std::abort();
        G().AppDirectory = Path();
    }
    ~TempAppDir() { G().AppDirectory.clear(); }
    void CopyTemplate() const {
        std::filesystem::copy_file(std::string(KVR_BUNDLE_DIR) + "/db1_clean.mdb", File("db1_clean.mdb"));
    }
};

}  // namespace kvr::test
