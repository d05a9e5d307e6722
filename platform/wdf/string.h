// String objects (WDFSTRING): a counted string the framework owns. The text is kept NUL-terminated, so the
// UNICODE_STRING handed out can also be read as a plain wide string.
#ifndef ZV_WDF_STRING_H
#define ZV_WDF_STRING_H

#include "platform/wdf/object.h"

#include <string>
#include <string_view>

namespace zv::wdf {

class String final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::String;
    String(Object* parent, std::u16string text) : Object(kType, parent), text_(std::move(text)) {}

    const std::u16string& text() const { return text_; }
    // False (text unchanged) when it would not fit a counted string.
    bool assign(std::u16string_view text);
    // Points into the object: valid until the text changes or the object goes.
    UNICODE_STRING unicodeString() const;

private:
    std::u16string text_;
};

// The text of a driver's counted string; false when the record is malformed (odd or inconsistent lengths,
// no buffer behind a non-zero length).
bool textOf(const UNICODE_STRING& s, std::u16string_view* text);
// textOf for an argument of `routine`, reporting a NULL or malformed string as invalid-parameter.
bool argumentText(PCUNICODE_STRING s, const Object* object, const char* routine, const char* what,
                  std::u16string_view* text);

} // namespace zv::wdf

#endif // ZV_WDF_STRING_H
