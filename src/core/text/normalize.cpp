// The canonical form of a user-given name.
#include "core/text/normalize.hpp"

namespace dithering {

std::string normalize(std::string_view name) {
    std::string key;
    key.reserve(name.size());
    for (char ch : name) {
        if (ch == ' ' || ch == '-' || ch == '_') continue;
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        key.push_back(ch);
    }
    return key;
}

}  // namespace dithering
