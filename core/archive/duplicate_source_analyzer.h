#pragma once
// Sources whose contents are identical to, or wholly contained in, another's.
#include <string>

namespace kx {

struct DuplicateSourceAnalyzer {
    struct Finding {
        std::string kind;            // "identical" or "redundant"
        std::string otherSourceId;   // the source it duplicates
        std::string explanation;     // a sentence for the source row
        bool operator==(const Finding&) const = default;
    };
};

} // namespace kx
