// The named Bayer matrices and the reading of a matrix name.
#include "core/threshold/matrix_names.hpp"

#include <charconv>

#include "core/text/normalize.hpp"

namespace dithering {

std::string bayer_name(std::size_t size) {
    const std::string n = std::to_string(size);
    return "bayer" + n + "x" + n;
}

std::string quoted_matrix_names() {
    std::string list;
    for (std::size_t size : BAYER_SIZES) {
        if (!list.empty()) list += ", ";
        list += "'" + bayer_name(size) + "'";
    }
    return list;
}

std::optional<std::size_t> bayer_size_from_name(std::string_view name) {
    std::string key = normalize(name);
    if (key.size() >= 5 && key.compare(0, 5, "bayer") == 0) key.erase(0, 5);
    const std::string_view head = std::string_view(key).substr(0, key.find('x'));
    // An optional single plus sign, then one or more digits, fitting 64 bits.
    std::string_view digits = head;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    unsigned long long n = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    // Written back in plain decimal, so leading zeros and a plus sign never
    // match: only "N" and "NxN" do.
    const std::string plain = std::to_string(n);
    if (key != plain && key != plain + "x" + plain) return std::nullopt;
    if (!is_bayer_size(n)) return std::nullopt;
    return static_cast<std::size_t>(n);
}

}  // namespace dithering
