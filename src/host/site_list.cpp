#include <numeric>
#include <unordered_set>

#include "site_list.h"

namespace cvt {

SiteList SiteList::initial(std::vector<int64_t> codes) {
    SiteList list;
    list.origins.resize(codes.size());
    std::iota(list.origins.begin(), list.origins.end(), 0u);
    list.codes = std::move(codes);
    return list;
}

SiteList SiteList::withoutRepeats() const {
    std::unordered_set<int64_t> seen(2 * codes.size());
    SiteList kept;
    kept.codes.reserve(codes.size());
    kept.origins.reserve(codes.size());
    for (size_t i = 0; i < codes.size(); ++i)
        if (seen.insert(codes[i]).second) {
            kept.codes.push_back(codes[i]);
            kept.origins.push_back(origins[i]);
        }
    return kept;
}

}  // namespace cvt
