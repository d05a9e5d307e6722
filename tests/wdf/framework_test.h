// Helpers of the framework's platform-side tests: counted strings over their own storage, attributes
// naming a parent, and a record of callbacks in the order they ran.
#ifndef ZV_TESTS_WDF_FRAMEWORK_TEST_H
#define ZV_TESTS_WDF_FRAMEWORK_TEST_H

#include <wdf.h>

#include <string>
#include <vector>

namespace zv::test {

// A UNICODE_STRING whose buffer it owns (the text without a NUL, as counted strings need none).
class UString {
public:
    explicit UString(std::u16string text) : text_(std::move(text)) {
        s_.Length = static_cast<USHORT>(text_.size() * sizeof(char16_t));
        s_.MaximumLength = s_.Length;
        s_.Buffer = text_.data();
    }
    UString(const UString&) = delete;
    UString& operator=(const UString&) = delete;
    PUNICODE_STRING get() { return &s_; }
    operator PUNICODE_STRING() { return &s_; }

private:
    std::u16string text_;
    UNICODE_STRING s_;
};

inline std::u16string text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / sizeof(char16_t));
}

inline WDF_OBJECT_ATTRIBUTES attributesWithParent(WDFOBJECT parent) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    return attributes;
}

} // namespace zv::test

#endif // ZV_TESTS_WDF_FRAMEWORK_TEST_H
