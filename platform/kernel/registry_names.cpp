// Key path parsing and name rules of the registry.
#include "platform/kernel/registry_names.h"

#include "platform/kernel/text.h"

namespace zv::kernel {
namespace {

bool cleanName(std::u16string_view name) {
    for (char16_t c : name)
        if (c < 0x20)
            return false;
    return isWellFormedUtf16(name);
}

} // namespace

bool isValidKeyName(std::u16string_view name) {
    return !name.empty() && name.size() <= 255 && name.find(u'\\') == std::u16string_view::npos &&
           cleanName(name);
}

bool isValidValueName(std::u16string_view name) {
    return name.size() <= 16383 && cleanName(name);
}

ParsedKeyPath parseKeyPath(std::u16string_view path) {
    ParsedKeyPath parsed;
    if (path.empty() || path[0] != u'\\') {
        parsed.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return parsed;
    }
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == u'\\')
            ++i;
        size_t end = path.find(u'\\', i);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > i)
            parsed.components.emplace_back(path.substr(i, end - i));
        i = end;
    }
    if (parsed.components.empty() || !equalIgnoreCase(parsed.components[0], u"Registry")) {
        parsed.status = STATUS_OBJECT_PATH_SYNTAX_BAD; // only names under \Registry are registry keys
        parsed.components.clear();
        return parsed;
    }
    for (const auto& c : parsed.components) {
        if (!isValidKeyName(c)) {
            parsed.status = STATUS_OBJECT_NAME_INVALID;
            parsed.components.clear();
            return parsed;
        }
    }
    return parsed;
}

std::u16string joinKeyPath(const std::vector<std::u16string>& components) {
    std::u16string path;
    for (const auto& c : components) {
        path += u'\\';
        path += c;
    }
    return path;
}

} // namespace zv::kernel
