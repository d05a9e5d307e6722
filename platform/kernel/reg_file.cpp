// The registry editor's .reg text format: writing the tree and reading it back.
//
// Choices of this platform: files are UTF-8 without a byte-order mark (the editor itself writes UTF-16;
// a mark is accepted on reading), lines end in LF (CRLF is accepted), and only the two hives are written:
// \Registry\Machine as HKEY_LOCAL_MACHINE and \Registry\User as HKEY_USERS, every key of them, in name
// order. REG_SZ is written as quoted text only when its data is a clean string (even length, one
// terminating NUL, no control characters, well-formed UTF-16); anything else goes out as hex(1): so it
// reads back byte for byte. REG_DWORD of 4 bytes is dword:, REG_BINARY hex:, every other type hex(N):
// with N in hex, the bytes wrapped at 80 columns with a trailing backslash as the editor does.
//
// Reading parses the whole text first and changes nothing unless all of it is valid; an error names its
// line. Reading bypasses the fault plan: it is the machine's persistence, not a driver's operation.
#include "platform/kernel/registry.h"

#include "platform/kernel/registry_names.h"
#include "platform/kernel/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zv::kernel {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr size_t kWrapColumn = 77; // a wrapped line with its backslash stays under 80 columns

struct Hive {
    std::u16string_view key;
    std::string_view root;
};
constexpr Hive kHives[] = {{u"Machine", "HKEY_LOCAL_MACHINE"}, {u"User", "HKEY_USERS"}};

// ---- Writing ----

std::string quote(std::u16string_view s) {
    std::string out = "\"";
    for (char c : utf16ToUtf8Lossy(s)) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::u16string unitsOf(const std::vector<uint8_t>& data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

bool isCleanString(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string s = unitsOf(data);
    if (s.back() != u'\0')
        return false;
    s.pop_back();
    for (char16_t c : s)
        if (c < 0x20)
            return false;
    return isWellFormedUtf16(s);
}

void writeHex(std::string& out, std::string line, const std::vector<uint8_t>& data) {
    static const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        line.push_back(digits[data[i] >> 4]);
        line.push_back(digits[data[i] & 0xF]);
        if (i + 1 < data.size()) {
            line.push_back(',');
            if (line.size() >= kWrapColumn) {
                out += line;
                out += "\\\n";
                line = "  ";
            }
        }
    }
    out += line;
    out += '\n';
}

void writeValue(std::string& out, std::u16string_view name, const RegValue& v) {
    std::string line = name.empty() ? "@" : quote(name);
    line += '=';
    if (v.type == RegType::Sz && isCleanString(v.data)) {
        std::u16string s = unitsOf(v.data);
        s.pop_back();
        out += line + quote(s) + '\n';
        return;
    }
    if (v.type == RegType::Dword && v.data.size() == 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "dword:%08x", *v.asDword());
        out += line + buf + '\n';
        return;
    }
    if (v.type == RegType::Binary) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        line += buf;
    }
    writeHex(out, std::move(line), v.data);
}

void writeKey(std::string& out, const RegKey& key, const std::string& name) {
    out += '[' + name + "]\n";
    for (const auto& [valueName, value] : key.values())
        writeValue(out, valueName, *value);
    out += '\n';
    for (const RegKey* child : key.children())
        writeKey(out, *child, name + '\\' + utf16ToUtf8Lossy(child->name()));
}

// ---- Reading ----

struct Op {
    enum class Kind { DeleteKey, CreateKey, SetValue, DeleteValue };
    Kind kind;
    std::vector<std::u16string> key; // components from "Registry" down
    std::u16string name;
    RegValue value;
};

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}
std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}
std::string_view trim(std::string_view s) {
    return trimRight(trimLeft(s));
}

bool startsWithIgnoreCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'A' && a <= 'Z')
            a = char(a - 'A' + 'a');
        if (a != prefix[i])
            return false;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits, the whole of s.
std::optional<uint32_t> parseHex32(std::string_view s) {
    if (s.empty() || s.size() > 8)
        return std::nullopt;
    uint32_t v = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0)
            return std::nullopt;
        v = v << 4 | uint32_t(d);
    }
    return v;
}

class Reader {
public:
    explicit Reader(std::string_view text) { split(text); }

    bool parse(std::vector<Op>& ops, std::string* error) {
        size_t i = 0;
        while (i < lines_.size() && trim(lines_[i].text).empty())
            ++i;
        if (i == lines_.size() || trim(lines_[i].text) != kHeader)
            return fail(error, i < lines_.size() ? lines_[i].number : 1,
                        "expected the header \"" + std::string(kHeader) + "\"");
        for (++i; i < lines_.size(); ++i) {
            line_ = lines_[i].number;
            std::string_view t = trim(lines_[i].text);
            if (t.empty() || t.front() == ';')
                continue;
            bool ok = t.front() == '['                         ? keyLine(t, ops)
                      : (t.front() == '"' || t.front() == '@') ? valueLine(t, ops)
                                                               : bad("unexpected line");
            if (!ok)
                return fail(error, line_, message_);
        }
        return true;
    }

private:
    struct Line {
        int number;
        std::string text;
    };

    // Joins value lines continued with a trailing backslash; a joined line keeps its first line's number.
    void split(std::string_view text) {
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            text.remove_prefix(3);
        std::vector<std::string> raw;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos)
                end = text.size();
            std::string_view line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            raw.emplace_back(line);
            start = end + 1;
        }
        for (size_t i = 0; i < raw.size();) {
            Line line{int(i + 1), raw[i++]};
            std::string_view t = trimLeft(line.text);
            if (!t.empty() && (t.front() == '"' || t.front() == '@')) {
                while (i < raw.size() && !trimRight(line.text).empty() &&
                       trimRight(line.text).back() == '\\') {
                    line.text.resize(trimRight(line.text).size() - 1);
                    line.text += trimLeft(raw[i++]);
                }
            }
            lines_.push_back(std::move(line));
        }
    }

    static bool fail(std::string* error, int line, const std::string& message) {
        if (error)
            *error = "line " + std::to_string(line) + ": " + message;
        return false;
    }
    bool bad(std::string message) {
        message_ = std::move(message);
        return false;
    }

    bool keyLine(std::string_view t, std::vector<Op>& ops) {
        if (t.size() < 2 || t.back() != ']')
            return bad("a key line must end with ']'");
        std::string_view inner = t.substr(1, t.size() - 2);
        bool deleting = !inner.empty() && inner.front() == '-';
        if (deleting)
            inner.remove_prefix(1);
        auto name = utf8ToUtf16(inner);
        if (!name)
            return bad("the key name is not valid UTF-8");
        std::vector<std::u16string> parts;
        size_t start = 0;
        for (;;) {
            size_t end = name->find(u'\\', start);
            parts.push_back(
                name->substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
            if (end == std::u16string::npos)
                break;
            start = end + 1;
        }
        const Hive* hive = nullptr;
        for (const Hive& h : kHives)
            if (equalIgnoreCase(parts[0], utf8ToUtf16Lossy(h.root)))
                hive = &h;
        if (hive == nullptr)
            return bad("unknown root key \"" + utf16ToUtf8Lossy(parts[0]) +
                       "\" (HKEY_LOCAL_MACHINE and HKEY_USERS are known)");
        std::vector<std::u16string> components{u"Registry", std::u16string(hive->key)};
        for (size_t i = 1; i < parts.size(); ++i) {
            if (parts[i].empty())
                return bad("empty key name in the path");
            if (!isValidKeyName(parts[i]))
                return bad("invalid key name \"" + utf16ToUtf8Lossy(parts[i]) + "\"");
            components.push_back(parts[i]);
        }
        if (deleting && components.size() == 2)
            return bad("a root key cannot be deleted");
        ops.push_back(Op{deleting ? Op::Kind::DeleteKey : Op::Kind::CreateKey, components, {}, {}});
        section_ = std::move(components);
        sectionDeleted_ = deleting;
        return true;
    }

    bool quoted(std::string_view t, size_t& pos, std::u16string& out) {
        std::string bytes;
        ++pos; // the opening quote
        for (;;) {
            if (pos >= t.size())
                return bad("missing closing quote");
            char c = t[pos++];
            if (c == '"')
                break;
            if (c == '\\') {
                if (pos >= t.size())
                    return bad("missing closing quote");
                char e = t[pos++];
                if (e != '\\' && e != '"')
                    return bad(std::string("unknown escape \"\\") + e + "\" (only \\\\ and \\\" are known)");
                c = e;
            }
            bytes.push_back(c);
        }
        auto s = utf8ToUtf16(bytes);
        if (!s)
            return bad("the quoted text is not valid UTF-8");
        out = std::move(*s);
        return true;
    }

    bool hexList(std::string_view s, std::vector<uint8_t>& out) {
        s = trim(s);
        if (s.empty())
            return true;
        size_t pos = 0;
        for (;;) {
            while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
                ++pos;
            size_t start = pos;
            while (pos < s.size() && pos - start < 3 && hexDigit(s[pos]) >= 0)
                ++pos;
            if (pos == start || pos - start > 2)
                return bad("expected a hex byte at \"" + std::string(s.substr(start)) + "\"");
            out.push_back(static_cast<uint8_t>(*parseHex32(s.substr(start, pos - start))));
            while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t'))
                ++pos;
            if (pos == s.size())
                return true;
            if (s[pos] != ',')
                return bad("expected ',' between hex bytes");
            ++pos;
        }
    }

    bool valueLine(std::string_view t, std::vector<Op>& ops) {
        if (section_.empty())
            return bad("a value outside any key");
        if (sectionDeleted_)
            return bad("a value under a key being deleted");
        size_t pos = 0;
        std::u16string name;
        if (t.front() == '@') {
            pos = 1;
        } else if (!quoted(t, pos, name)) {
            return false;
        }
        if (!isValidValueName(name))
            return bad("invalid value name");
        std::string_view rest = trimLeft(t.substr(pos));
        if (rest.empty() || rest.front() != '=')
            return bad("expected '=' after the value name");
        rest = trim(rest.substr(1));

        Op op{Op::Kind::SetValue, section_, name, {}};
        if (rest == "-") {
            op.kind = Op::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == '"') {
            size_t p = 0;
            std::u16string text;
            if (!quoted(rest, p, text))
                return false;
            if (!trim(rest.substr(p)).empty())
                return bad("unexpected text after the string");
            op.value = RegValue::sz(text);
        } else if (startsWithIgnoreCase(rest, "dword:")) {
            auto v = parseHex32(rest.substr(6));
            if (!v)
                return bad("dword: takes 1 to 8 hex digits");
            op.value = RegValue::dword(*v);
        } else if (startsWithIgnoreCase(rest, "hex:")) {
            op.value.type = RegType::Binary;
            if (!hexList(rest.substr(4), op.value.data))
                return false;
        } else if (startsWithIgnoreCase(rest, "hex(")) {
            size_t close = rest.find(')');
            auto type =
                close == std::string_view::npos ? std::nullopt : parseHex32(rest.substr(4, close - 4));
            if (!type || close + 1 >= rest.size() || rest[close + 1] != ':')
                return bad("hex(N): takes a type of 1 to 8 hex digits");
            op.value.type = static_cast<RegType>(*type);
            if (!hexList(rest.substr(close + 2), op.value.data))
                return false;
        } else {
            return bad("unknown value data \"" + std::string(rest) + "\"");
        }
        ops.push_back(std::move(op));
        return true;
    }

    std::vector<Line> lines_;
    int line_ = 0;
    std::string message_;
    std::vector<std::u16string> section_;
    bool sectionDeleted_ = false;
};

} // namespace

std::string Registry::saveReg() const {
    std::string out(kHeader);
    out += "\n\n";
    for (const Hive& hive : kHives)
        if (const RegKey* key = root_.child(hive.key))
            writeKey(out, *key, std::string(hive.root));
    return out;
}

bool Registry::loadReg(std::string_view text, std::string* error) {
    std::vector<Op> ops;
    if (!Reader(text).parse(ops, error))
        return false;
    for (Op& op : ops) {
        switch (op.kind) {
            case Op::Kind::DeleteKey:
                if (RegKey* key = walk(op.key, false))
                    retire(key->parent()->detachChild(key->name()));
                break;
            case Op::Kind::CreateKey:
                walk(op.key, true);
                break;
            case Op::Kind::SetValue:
                walk(op.key, true)->setValue(op.name, std::move(op.value));
                break;
            case Op::Kind::DeleteValue:
                if (RegKey* key = walk(op.key, false))
                    key->removeValue(op.name);
                break;
        }
    }
    return true;
}

// Written beside the target and renamed over it, so a failed save leaves the previous file whole.
bool Registry::saveRegFile(const std::string& file, std::string* error) const {
    std::string temp = file + ".tmp";
    std::string text = saveReg();
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int err = errno;
    if (f != nullptr && std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && std::rename(temp.c_str(), file.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        std::remove(temp.c_str());
        if (error)
            *error = "cannot write " + file + ": " + std::strerror(err);
    }
    return ok;
}

bool Registry::loadRegFile(const std::string& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot read " + file + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!loadReg(text.str(), error)) {
        if (error)
            *error = file + ": " + *error;
        return false;
    }
    return true;
}

} // namespace zv::kernel
