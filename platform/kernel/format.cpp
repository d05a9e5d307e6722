// The printf dialect engine. One template parses both format widths; each directive is read into a record,
// the argument is fetched with the width the Windows calling convention gives it, and the text is padded
// into an Output that stops growing at the caller's limit.
#include "platform/kernel/format.h"

#include "platform/kernel/text.h"

#include <ntdef.h>

#include <climits>
#include <string_view>

namespace zv::kernel {
namespace {

// va_list may be an array type; wrapping a copy in a struct lets helpers advance it by reference.
struct Args {
    va_list ap;
};

template <class C>
class Output {
public:
    explicit Output(size_t limit) : limit_(limit) {}
    bool full() const { return truncated_; }
    bool truncated() const { return truncated_; }
    std::basic_string<C> take() { return std::move(text_); }

    void put(C c) {
        if (text_.size() < limit_)
            text_.push_back(c);
        else
            truncated_ = true;
    }
    void put(std::basic_string_view<C> s) {
        size_t room = limit_ - text_.size();
        if (s.size() > room) {
            text_.append(s.substr(0, room));
            truncated_ = true;
        } else {
            text_.append(s);
        }
    }
    void fill(size_t n, C c) {
        size_t room = limit_ - text_.size();
        if (n > room) {
            text_.append(room, c);
            truncated_ = true;
        } else {
            text_.append(n, c);
        }
    }

private:
    size_t limit_;
    bool truncated_ = false;
    std::basic_string<C> text_;
};

enum class Size { None, Hh, H, L, Ll, W, I, I32, I64, Z, T, J };

struct Directive {
    bool minus = false, plus = false, space = false, hash = false, zero = false;
    int width = 0;      // 0: none
    int precision = -1; // -1: none
    Size size = Size::None;
};

template <class C>
int parseNumber(const C*& p) {
    long long n = 0;
    while (*p >= C('0') && *p <= C('9')) {
        n = n * 10 + (*p - C('0'));
        if (n > INT_MAX)
            n = INT_MAX;
        ++p;
    }
    return static_cast<int>(n);
}

template <class C>
std::basic_string<C> ascii(std::string_view s) {
    return std::basic_string<C>(s.begin(), s.end());
}

// Text of a narrow or wide argument in the output's width.
template <class C>
std::basic_string<C> fromNarrow(std::string_view s) {
    if constexpr (sizeof(C) == 1)
        return std::string(s);
    else
        return utf8ToUtf16Lossy(s);
}
template <class C>
std::basic_string<C> fromWide(std::u16string_view s) {
    if constexpr (sizeof(C) == 1)
        return utf16ToUtf8Lossy(s);
    else
        return std::u16string(s);
}

template <class C>
class Engine {
public:
    Engine(Args& args, size_t limit) : args_(args), out_(limit) {}

    std::basic_string<C> run(const C* format, bool* truncated) {
        const C* p = format;
        while (*p != C(0) && !out_.full()) {
            if (*p != C('%')) {
                out_.put(*p++);
                continue;
            }
            const C* start = p++;
            Directive dir;
            parseDirective(p, dir);
            if (*p == C(0)) {
                out_.put(std::basic_string_view<C>(start, p - start));
                break;
            }
            C conv = *p++;
            if (!convert(conv, dir))
                out_.put(std::basic_string_view<C>(start, p - start));
        }
        if (truncated)
            *truncated = out_.truncated();
        return out_.take();
    }

private:
    static constexpr bool kWideFormat = sizeof(C) == 2;

    void parseDirective(const C*& p, Directive& dir) {
        for (;; ++p) {
            if (*p == C('-'))
                dir.minus = true;
            else if (*p == C('+'))
                dir.plus = true;
            else if (*p == C(' '))
                dir.space = true;
            else if (*p == C('#'))
                dir.hash = true;
            else if (*p == C('0'))
                dir.zero = true;
            else
                break;
        }
        if (*p == C('*')) {
            ++p;
            int w = va_arg(args_.ap, int);
            if (w < 0) {
                dir.minus = true;
                w = (w == INT_MIN) ? INT_MAX : -w;
            }
            dir.width = w;
        } else {
            dir.width = parseNumber(p);
        }
        if (*p == C('.')) {
            ++p;
            if (*p == C('*')) {
                ++p;
                int prec = va_arg(args_.ap, int);
                dir.precision = prec < 0 ? -1 : prec;
            } else {
                dir.precision = parseNumber(p);
            }
        }
        switch (*p) {
            case C('h'):
                ++p;
                dir.size = Size::H;
                if (*p == C('h')) {
                    ++p;
                    dir.size = Size::Hh;
                }
                break;
            case C('l'):
                ++p;
                dir.size = Size::L;
                if (*p == C('l')) {
                    ++p;
                    dir.size = Size::Ll;
                }
                break;
            case C('w'):
                ++p;
                dir.size = Size::W;
                break;
            case C('I'):
                ++p;
                dir.size = Size::I;
                if (p[0] == C('6') && p[1] == C('4')) {
                    p += 2;
                    dir.size = Size::I64;
                } else if (p[0] == C('3') && p[1] == C('2')) {
                    p += 2;
                    dir.size = Size::I32;
                }
                break;
            case C('z'):
                ++p;
                dir.size = Size::Z;
                break;
            case C('t'):
                ++p;
                dir.size = Size::T;
                break;
            case C('j'):
                ++p;
                dir.size = Size::J;
                break;
            default:
                break;
        }
    }

    // Whether a string or character directive takes a wide argument.
    static bool wideArgument(Size size, bool nativeLetter) {
        if (size == Size::H)
            return false;
        if (size == Size::L || size == Size::W)
            return true;
        return nativeLetter == kWideFormat;
    }

    bool convert(C conv, const Directive& dir) {
        switch (conv) {
            case C('%'):
                out_.put(C('%'));
                return true;
            case C('d'):
            case C('i'):
                return signedInteger(dir);
            case C('u'):
                return unsignedInteger(dir, 10, false);
            case C('o'):
                return unsignedInteger(dir, 8, false);
            case C('x'):
                return unsignedInteger(dir, 16, false);
            case C('X'):
                return unsignedInteger(dir, 16, true);
            case C('p'):
                return pointer(dir);
            case C('c'):
            case C('C'):
                return character(dir, wideArgument(dir.size, conv == C('c')));
            case C('s'):
            case C('S'):
                return string(dir, wideArgument(dir.size, conv == C('s')));
            case C('Z'):
                return counted(dir);
            default:
                return false;
        }
    }

    bool integerSizeKnown(Size size) const { return size != Size::W; }

    bool signedInteger(const Directive& dir) {
        if (!integerSizeKnown(dir.size))
            return false;
        int64_t v;
        switch (dir.size) {
            case Size::Hh:
                v = static_cast<signed char>(va_arg(args_.ap, int));
                break;
            case Size::H:
                v = static_cast<short>(va_arg(args_.ap, int));
                break;
            case Size::Ll:
            case Size::I64:
            case Size::J:
                v = va_arg(args_.ap, long long);
                break;
            case Size::I:
            case Size::Z:
            case Size::T:
                v = va_arg(args_.ap, intptr_t);
                break;
            default:
                v = va_arg(args_.ap, int);
                break;
        }
        uint64_t magnitude = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        std::string_view sign = v < 0 ? "-" : dir.plus ? "+" : dir.space ? " " : "";
        integer(dir, magnitude, 10, false, sign);
        return true;
    }

    bool unsignedInteger(const Directive& dir, unsigned base, bool upper) {
        if (!integerSizeKnown(dir.size))
            return false;
        uint64_t v;
        switch (dir.size) {
            case Size::Hh:
                v = static_cast<unsigned char>(va_arg(args_.ap, unsigned));
                break;
            case Size::H:
                v = static_cast<unsigned short>(va_arg(args_.ap, unsigned));
                break;
            case Size::Ll:
            case Size::I64:
            case Size::J:
                v = va_arg(args_.ap, unsigned long long);
                break;
            case Size::I:
            case Size::Z:
            case Size::T:
                v = va_arg(args_.ap, uintptr_t);
                break;
            default:
                v = va_arg(args_.ap, unsigned);
                break;
        }
        std::string_view prefix;
        if (dir.hash && v != 0 && base == 16)
            prefix = upper ? "0X" : "0x";
        integer(dir, v, base, upper, prefix);
        return true;
    }

    void integer(const Directive& dir, uint64_t v, unsigned base, bool upper, std::string_view prefix) {
        const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        char buf[64];
        size_t n = 0;
        for (uint64_t x = v; x != 0; x /= base)
            buf[n++] = digitSet[x % base];
        std::string digits(buf, n); // empty for zero: "%.0d" of zero prints no digits, as in C
        digits.assign(digits.rbegin(), digits.rend());
        if (dir.precision < 0 && v == 0)
            digits = "0";
        else if (dir.precision >= 0 && digits.size() < size_t(dir.precision))
            digits.insert(0, size_t(dir.precision) - digits.size(), '0');
        if (base == 8 && dir.hash && (digits.empty() || digits[0] != '0'))
            digits.insert(0, 1, '0');
        size_t length = prefix.size() + digits.size();
        size_t pad = size_t(dir.width) > length ? size_t(dir.width) - length : 0;
        if (dir.minus) {
            out_.put(ascii<C>(prefix));
            out_.put(ascii<C>(digits));
            out_.fill(pad, C(' '));
        } else if (dir.zero && dir.precision < 0) {
            out_.put(ascii<C>(prefix));
            out_.fill(pad, C('0'));
            out_.put(ascii<C>(digits));
        } else {
            out_.fill(pad, C(' '));
            out_.put(ascii<C>(prefix));
            out_.put(ascii<C>(digits));
        }
    }

    bool pointer(const Directive& dir) {
        auto v = reinterpret_cast<uintptr_t>(va_arg(args_.ap, void*));
        static const char* hex = "0123456789ABCDEF";
        std::string digits(sizeof(void*) * 2, '0');
        for (size_t i = digits.size(); i-- > 0; v >>= 4)
            digits[i] = hex[v & 0xF];
        text(dir, ascii<C>(digits), false);
        return true;
    }

    bool character(const Directive& dir, bool wide) {
        int v = va_arg(args_.ap, int);
        if (wide) {
            char16_t c = static_cast<char16_t>(v);
            text(dir, fromWide<C>(std::u16string_view(&c, 1)), true);
        } else {
            char c = static_cast<char>(v);
            text(dir, fromNarrow<C>(std::string_view(&c, 1)), true);
        }
        return true;
    }

    size_t precisionBound(const Directive& dir) const {
        return dir.precision >= 0 ? size_t(dir.precision) : SIZE_MAX;
    }

    bool string(const Directive& dir, bool wide) {
        size_t max = precisionBound(dir);
        if (wide) {
            const char16_t* s = va_arg(args_.ap, const char16_t*);
            if (s == nullptr)
                return nullText(dir);
            text(dir, fromWide<C>(std::u16string_view(s, boundedLength(s, max))), true);
        } else {
            const char* s = va_arg(args_.ap, const char*);
            if (s == nullptr)
                return nullText(dir);
            text(dir, fromNarrow<C>(std::string_view(s, boundedLength(s, max))), true);
        }
        return true;
    }

    bool counted(const Directive& dir) {
        size_t max = precisionBound(dir);
        if (dir.size == Size::W || dir.size == Size::L) {
            auto* s = va_arg(args_.ap, const UNICODE_STRING*);
            if (s == nullptr || s->Buffer == nullptr)
                return nullText(dir);
            size_t units = (s->Length < s->MaximumLength ? s->Length : s->MaximumLength) / sizeof(WCHAR);
            auto* buffer = reinterpret_cast<const char16_t*>(s->Buffer);
            text(dir, fromWide<C>(std::u16string_view(buffer, units < max ? units : max)), true);
        } else if (dir.size == Size::None || dir.size == Size::H) {
            auto* s = va_arg(args_.ap, const ANSI_STRING*);
            if (s == nullptr || s->Buffer == nullptr)
                return nullText(dir);
            size_t bytes = s->Length < s->MaximumLength ? s->Length : s->MaximumLength;
            text(dir, fromNarrow<C>(std::string_view(s->Buffer, bytes < max ? bytes : max)), true);
        } else {
            return false;
        }
        return true;
    }

    bool nullText(const Directive& dir) {
        std::string_view null = "(null)";
        if (size_t(dir.precision) < null.size())
            null = null.substr(0, size_t(dir.precision));
        text(dir, ascii<C>(null), true);
        return true;
    }

    // Pads a string-like result to the width. Microsoft's printf honours '0' for strings too.
    void text(const Directive& dir, const std::basic_string<C>& body, bool zeroAllowed) {
        size_t pad = size_t(dir.width) > body.size() ? size_t(dir.width) - body.size() : 0;
        if (dir.minus) {
            out_.put(body);
            out_.fill(pad, C(' '));
        } else {
            out_.fill(pad, (dir.zero && zeroAllowed) ? C('0') : C(' '));
            out_.put(body);
        }
    }

    Args& args_;
    Output<C> out_;
};

template <class C>
std::basic_string<C> format(const C* format, va_list args, size_t limit, bool* truncated) {
    if (format == nullptr) {
        if (truncated)
            *truncated = false;
        return {};
    }
    Args copy;
    va_copy(copy.ap, args);
    std::basic_string<C> result = Engine<C>(copy, limit).run(format, truncated);
    va_end(copy.ap);
    return result;
}

} // namespace

std::string formatNarrow(const char* fmt, va_list args, size_t limit, bool* truncated) {
    return format<char>(fmt, args, limit, truncated);
}

std::u16string formatWide(const char16_t* fmt, va_list args, size_t limit, bool* truncated) {
    return format<char16_t>(fmt, args, limit, truncated);
}

std::string narrowPrintf(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string s = formatNarrow(fmt, args);
    va_end(args);
    return s;
}

std::u16string widePrintf(const char16_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::u16string s = formatWide(fmt, args);
    va_end(args);
    return s;
}

} // namespace zv::kernel
