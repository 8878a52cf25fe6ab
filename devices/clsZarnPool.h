#pragma once
// The ordered collection of devices found by the last discovery. A device's
// identity is its MAC text; colons are removed before comparing.
#include <memory>
#include <string>
#include <vector>

#include "clsZarn.h"

class clsZarnPool {
public:
    // In the order the devices were added; callers enumerate it directly.
    std::vector<std::shared_ptr<clsZarn>> colZarn;

    void Clear();
    // Appends without a duplicate check (null is ignored).
    void AddZarn(std::shared_ptr<clsZarn> zarn);
    // The first device whose MAC equals MAC; the colons are removed from the
    // caller's text too. Null when there is none.
    std::shared_ptr<clsZarn> FindZarn(std::string& MAC) const;
    // Appends the device unless one with the same MAC is already there.
    bool AddUniqueZarn(std::shared_ptr<clsZarn> zarn);
    bool ContainsZarn(const clsZarn& zarn) const;
    bool ZarnsInDownloadMode() const;
    std::shared_ptr<clsZarn> GetFirstZarnInDownloadMode() const;

    std::size_t Count() const { return colZarn.size(); }
};

// The program-wide device pool the main window lists; refilled by each discovery.
clsZarnPool& ZarnPool();
