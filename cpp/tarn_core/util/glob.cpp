#include "util/glob.h"

namespace tarn {

bool glob_match(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t star = std::string_view::npos, mark = 0;
    while (n < name.size()) {
        // A "*" is always a wildcard, even facing a "*" in the name: were it matched literally
        // first, no backtracking point would be kept and "*" would fail to match "*ab".
        if (p < pattern.size() && pattern[p] == '*') {
            star = p;
            mark = n;
            ++p;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            // Let the last "*" swallow one more byte and retry from there.
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

}  // namespace tarn
