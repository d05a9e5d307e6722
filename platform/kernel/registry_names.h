// Key paths and names as the registry accepts them, shared by the tree operations and the .reg reader.
// A path is absolute under \Registry; separators may repeat or trail. A key name is 1 to 255 units, a
// value name at most 16383; neither may hold a control character (U+0000-U+001F) or an unpaired surrogate,
// so that every tree the registry holds can be written to a .reg file and read back unchanged.
#ifndef ZV_KERNEL_REGISTRY_NAMES_H
#define ZV_KERNEL_REGISTRY_NAMES_H

#include <ntstatus.h>

#include <string>
#include <string_view>
#include <vector>

namespace zv::kernel {

struct ParsedKeyPath {
    NTSTATUS status = STATUS_SUCCESS;       // STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_NAME_INVALID
    std::vector<std::u16string> components; // the first is "Registry"
};

ParsedKeyPath parseKeyPath(std::u16string_view path);
std::u16string joinKeyPath(const std::vector<std::u16string>& components);
bool isValidKeyName(std::u16string_view name);
bool isValidValueName(std::u16string_view name);

} // namespace zv::kernel

#endif // ZV_KERNEL_REGISTRY_NAMES_H
