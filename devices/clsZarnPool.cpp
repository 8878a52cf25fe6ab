#include "clsZarnPool.h"

#include "HexText.h"

void clsZarnPool::Clear() {
    colZarn.clear();
}

void clsZarnPool::AddZarn(std::shared_ptr<clsZarn> zarn) {
    if (!zarn) return;
    colZarn.push_back(std::move(zarn));
}

std::shared_ptr<clsZarn> clsZarnPool::FindZarn(std::string& MAC) const {
    MAC = kvr::RemoveColons(MAC);
    for (const auto& z : colZarn)
        if (z->MAC == MAC) return z;
    return nullptr;
}

bool clsZarnPool::AddUniqueZarn(std::shared_ptr<clsZarn> zarn) {
    if (!zarn || ContainsZarn(*zarn)) return false;
    colZarn.push_back(std::move(zarn));
    return true;
}

bool clsZarnPool::ContainsZarn(const clsZarn& zarn) const {
    const std::string wanted = kvr::RemoveColons(zarn.MAC);
    for (const auto& z : colZarn)
        if (kvr::RemoveColons(z->MAC) == wanted) return true;
    return false;
}

bool clsZarnPool::ZarnsInDownloadMode() const { return GetFirstZarnInDownloadMode() != nullptr; }

std::shared_ptr<clsZarn> clsZarnPool::GetFirstZarnInDownloadMode() const {
    for (const auto& z : colZarn)
        if (z->IsInDownloadMode) return z;
    return nullptr;
}

clsZarnPool& ZarnPool() {
    static clsZarnPool pool;
    return pool;
}
