#include "name_parts.hpp"

#include <algorithm>
#include <charconv>
#include <sstream>

std::optional<name_parts>
split_name(const std::string& name, const std::vector<std::string>& keys, const std::string& passed_over)
{
    name_parts made;
    std::istringstream parts(name);
    std::getline(parts, made.family, '/');
    if (made.family.empty() || name.back() == '/')
        return std::nullopt;
    for (std::string part; std::getline(parts, part, '/');) {
        const std::size_t colon = part.find(':');
        const std::string key = part.substr(0, colon);
        if (part.empty())
            return std::nullopt;
        if (part == passed_over || std::find(keys.begin(), keys.end(), key) == keys.end()) {
            if (part != passed_over)
                made.others.push_back(part);
            continue;
        }
        const char* const first = part.data() + colon + 1;
        const char* const last = part.data() + part.size();
        unsigned number = 0;
        const auto read = std::from_chars(first, last, number);
        if (first == last || read.ec != std::errc() || read.ptr != last || !made.numbers.emplace(key, number).second)
            return std::nullopt;
    }
    return made;
}
