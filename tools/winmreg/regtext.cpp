#include "tools/winmreg/regtext.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace winmreg {

const char kFileHeader[] = "Windows Registry Editor Version 5.00";

namespace {

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::u16string FromLE(const std::string& data) {
    std::u16string s;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(static_cast<unsigned char>(data[i]) |
                                          (static_cast<unsigned char>(data[i + 1]) << 8)));
    return s;
}

std::string ToLE(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xff));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

std::string HexBytes(const std::string& data, const char* sep, bool upper) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < data.size(); ++i) {
        if (i > 0)
            out += sep;
        std::snprintf(buf, sizeof buf, upper ? "%02X" : "%02x",
                      static_cast<unsigned char>(data[i]));
        out += buf;
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Unsigned number in decimal or with a 0x prefix, within max.
bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t* out) {
    std::string t = text;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        t = t.substr(2);
        base = 16;
    }
    if (t.empty() || t.size() > 20)
        return false;
    std::uint64_t v = 0;
    for (char c : t) {
        int d = HexDigit(c);
        if (d < 0 || d >= base)
            return false;
        if (v > (max - static_cast<std::uint64_t>(d)) / static_cast<std::uint64_t>(base))
            return false;
        v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    *out = v;
    return true;
}

struct TypeEntry {
    const char* name;
    DWORD type;
};
const TypeEntry kTypes[] = {
    {"REG_NONE", REG_NONE},
    {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ},
    {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},
    {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_LINK", REG_LINK},
    {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_RESOURCE_LIST", REG_RESOURCE_LIST},
    {"REG_FULL_RESOURCE_DESCRIPTOR", REG_FULL_RESOURCE_DESCRIPTOR},
    {"REG_RESOURCE_REQUIREMENTS_LIST", REG_RESOURCE_REQUIREMENTS_LIST},
    {"REG_QWORD", REG_QWORD},
};

struct RootEntry {
    const char* shortName;
    const char* longName;
    HKEY root;
};
const RootEntry kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKU", "HKEY_USERS", HKEY_USERS},
};

// A quoted string with \\ and \" escapes, starting at s[*pos] == '"'.
bool ParseQuoted(const std::string& s, size_t* pos, std::string* out) {
    if (*pos >= s.size() || s[*pos] != '"')
        return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out->push_back(s[++i]);
        } else if (c == '"') {
            *pos = i + 1;
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out.push_back('\\');
        out.push_back(c);
    }
    return out + "\"";
}

// A REG_SZ that the quoted form carries exactly: one terminator at the end
// and nothing the line syntax cannot hold.
bool PlainString(const std::string& data, std::u16string* text) {
    if (data.size() < 2 || data.size() % 2 != 0)
        return false;
    std::u16string s = FromLE(data);
    if (s.back() != 0)
        return false;
    s.pop_back();
    for (char16_t c : s)
        if (c == 0 || c == u'\r' || c == u'\n')
            return false;
    if (!IsValidUtf16(s))
        return false;
    *text = s;
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return std::string();
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// "hex:aa,bb" / "hex(N):aa,bb" bytes, commas and spaces between pairs.
bool ParseHexList(const std::string& s, std::string* out) {
    out->clear();
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i >= s.size())
            break;
        if (i + 1 >= s.size())
            return false;
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i < s.size()) {
            if (s[i] != ',')
                return false;
            ++i;
        }
    }
    return true;
}

}  // namespace

bool Utf8ToUtf16(const std::string& in, std::u16string* out) {
    out->clear();
    for (size_t i = 0; i < in.size();) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > in.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            unsigned char cc = static_cast<unsigned char>(in[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return true;
}

std::string Utf16ToUtf8(const std::u16string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool IsValidUtf16(const std::u16string& in) {
    for (size_t i = 0; i < in.size(); ++i) {
        char16_t c = in[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

std::string TypeName(DWORD type) {
    for (const auto& t : kTypes)
        if (t.type == type)
            return t.name;
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(type));
    return buf;
}

bool ParseTypeName(const std::string& name, DWORD* type) {
    std::string lower = Lower(name);
    for (const auto& t : kTypes) {
        if (lower == Lower(t.name)) {
            *type = t.type;
            return true;
        }
    }
    if (lower == "reg_dword_little_endian") {
        *type = REG_DWORD;
        return true;
    }
    if (lower == "reg_qword_little_endian") {
        *type = REG_QWORD;
        return true;
    }
    return false;
}

std::string FormatData(DWORD type, const std::string& data) {
    char buf[32];
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_LINK: {
            std::u16string s = FromLE(data);
            size_t nul = s.find(u'\0');
            if (nul != std::u16string::npos)
                s.resize(nul);
            return Utf16ToUtf8(s);
        }
        case REG_MULTI_SZ: {
            std::u16string s = FromLE(data);
            while (!s.empty() && s.back() == 0)
                s.pop_back();
            std::string out;
            size_t start = 0;
            for (size_t i = 0; i <= s.size(); ++i) {
                if (i == s.size() || s[i] == 0) {
                    if (start > 0)
                        out += "\\0";
                    out += Utf16ToUtf8(s.substr(start, i - start));
                    start = i + 1;
                }
            }
            return out;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
            if (data.size() == 4) {
                std::uint32_t v = 0;
                for (int i = 0; i < 4; ++i) {
                    int shift = type == REG_DWORD ? 8 * i : 8 * (3 - i);
                    v |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << shift;
                }
                std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(v));
                return buf;
            }
            break;
        case REG_QWORD:
            if (data.size() == 8) {
                std::uint64_t v = 0;
                for (int i = 0; i < 8; ++i)
                    v |= static_cast<std::uint64_t>(static_cast<unsigned char>(data[i])) << (8 * i);
                std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
                return buf;
            }
            break;
        default:
            break;
    }
    return HexBytes(data, "", true);
}

bool EncodeData(DWORD type, const std::string& text, const std::string& separator,
                std::string* bytes, std::string* error) {
    bytes->clear();
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_LINK: {
            std::u16string s;
            if (!Utf8ToUtf16(text, &s)) {
                *error = "The data is not valid UTF-8.";
                return false;
            }
            *bytes = ToLE(s) + std::string(2, '\0');
            return true;
        }
        case REG_MULTI_SZ: {
            std::u16string s;
            if (!Utf8ToUtf16(text, &s)) {
                *error = "The data is not valid UTF-8.";
                return false;
            }
            std::u16string sep;
            Utf8ToUtf16(separator, &sep);
            if (sep.empty()) {
                *error = "The separator cannot be empty.";
                return false;
            }
            std::vector<std::u16string> items;
            size_t start = 0;
            while (!s.empty()) {
                size_t at = s.find(sep, start);
                items.push_back(s.substr(start, at == std::u16string::npos ? at : at - start));
                if (at == std::u16string::npos)
                    break;
                start = at + sep.size();
            }
            for (const auto& item : items) {
                if (item.empty()) {
                    *error = "REG_MULTI_SZ data cannot contain empty strings.";
                    return false;
                }
                *bytes += ToLE(item) + std::string(2, '\0');
            }
            *bytes += std::string(2, '\0');
            return true;
        }
        case REG_DWORD:
        case REG_DWORD_BIG_ENDIAN:
        case REG_QWORD: {
            bool qword = type == REG_QWORD;
            std::uint64_t v = 0;
            if (!text.empty() && !ParseNumber(text, qword ? UINT64_MAX : UINT32_MAX, &v)) {
                *error = "Invalid number for " + TypeName(type) + ": \"" + text +
                         "\" (decimal, or hexadecimal with 0x).";
                return false;
            }
            int n = qword ? 8 : 4;
            for (int i = 0; i < n; ++i) {
                int shift = type == REG_DWORD_BIG_ENDIAN ? 8 * (3 - i) : 8 * i;
                bytes->push_back(static_cast<char>((v >> shift) & 0xff));
            }
            return true;
        }
        default: {
            if (text.size() % 2 != 0) {
                *error = "Binary data needs an even number of hex digits.";
                return false;
            }
            for (size_t i = 0; i < text.size(); i += 2) {
                int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
                if (hi < 0 || lo < 0) {
                    *error = "Binary data may only contain hex digits.";
                    return false;
                }
                bytes->push_back(static_cast<char>(hi * 16 + lo));
            }
            return true;
        }
    }
}

std::string EscapeControls(const std::string& utf8) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned c = static_cast<unsigned char>(utf8[i]);
        unsigned next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            c = next;  // U+0080 to U+009F, two bytes
            ++i;
        } else if (c >= 0x20 && c != 0x7F) {
            out.push_back(utf8[i]);
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

std::string KeyPath::Display() const {
    return subkey.empty() ? rootName : rootName + "\\" + Utf16ToUtf8(subkey);
}

bool ParseKeyPath(const std::string& text, KeyPath* out) {
    size_t slash = text.find('\\');
    std::string root = Lower(text.substr(0, slash));
    const RootEntry* found = nullptr;
    for (const auto& r : kRoots)
        if (root == Lower(r.shortName) || root == Lower(r.longName))
            found = &r;
    if (found == nullptr)
        return false;
    std::string rest = slash == std::string::npos ? std::string() : text.substr(slash + 1);
    if (!rest.empty() && rest.back() == '\\')
        rest.pop_back();
    if (!rest.empty() && (rest.front() == '\\' || rest.find("\\\\") != std::string::npos))
        return false;
    if (!Utf8ToUtf16(rest, &out->subkey))
        return false;
    out->root = found->root;
    out->rootName = found->longName;
    return true;
}

bool AppendValueLine(const Value& v, std::string* out) {
    for (char16_t c : v.name)
        if (c == u'\r' || c == u'\n' || c == 0)
            return false;
    if (!IsValidUtf16(v.name))
        return false;
    std::string line = v.name.empty() ? "@=" : Quote(Utf16ToUtf8(v.name)) + "=";
    std::u16string text;
    if (v.type == REG_SZ && PlainString(v.data, &text)) {
        *out += line + Quote(Utf16ToUtf8(text)) + "\n";
        return true;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        std::uint32_t d = 0;
        for (int i = 0; i < 4; ++i)
            d |= static_cast<std::uint32_t>(static_cast<unsigned char>(v.data[i])) << (8 * i);
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(d));
        *out += line + buf + "\n";
        return true;
    }
    if (v.type == REG_BINARY) {
        line += "hex:";
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        line += buf;
    }
    // Long hex data continues on indented lines ending in a backslash.
    for (size_t i = 0; i < v.data.size(); ++i) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(v.data[i]));
        line += buf;
        if (i + 1 < v.data.size()) {
            line += ",";
            if (line.size() > 76) {
                *out += line + "\\\n";
                line = "  ";
            }
        }
    }
    *out += line + "\n";
    return true;
}

bool ParseRegistryFile(const std::string& bytes, std::vector<ImportOp>* ops, std::string* error) {
    ops->clear();
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text = Utf16ToUtf8(FromLE(bytes.substr(2)));
    } else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        text = bytes.substr(3);
    } else {
        text = bytes;
    }

    std::vector<std::pair<int, std::string>> lines;
    {
        size_t start = 0;
        int number = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string line = text.substr(start, end - start);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.emplace_back(++number, line);
            start = end + 1;
        }
    }
    auto fail = [&](int line, const std::string& why) {
        *error = "line " + std::to_string(line) + ": " + why;
        ops->clear();
        return false;
    };

    size_t i = 0;
    while (i < lines.size() && Trim(lines[i].second).empty())
        ++i;
    if (i == lines.size() || Trim(lines[i].second) != kFileHeader)
        return fail(i < lines.size() ? lines[i].first : 1,
                    std::string("the file must start with \"") + kFileHeader + "\"");
    ++i;

    bool haveKey = false;
    KeyPath current;
    for (; i < lines.size(); ++i) {
        int number = lines[i].first;
        std::string line = Trim(lines[i].second);
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail(number, "a key line must end with ']'");
            bool remove = line.size() > 1 && line[1] == '-';
            std::string name = line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2));
            ImportOp op{remove ? ImportOp::kDeleteKey : ImportOp::kCreateKey, {}, {}, number};
            if (!ParseKeyPath(name, &op.key))
                return fail(number, "invalid key name \"" + name + "\"");
            if (remove && op.key.subkey.empty())
                return fail(number, "a root key cannot be deleted");
            haveKey = !remove;
            current = op.key;
            ops->push_back(op);
            continue;
        }
        if (!haveKey)
            return fail(number, "a value must follow a [key] line");
        ImportOp op{ImportOp::kSetValue, current, {}, number};
        size_t pos = 0;
        std::string name;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ParseQuoted(line, &pos, &name)) {
            return fail(number, "expected \"name\"=data or @=data");
        }
        if (!Utf8ToUtf16(name, &op.value.name))
            return fail(number, "the name is not valid UTF-8");
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
            ++pos;
        if (pos >= line.size() || line[pos] != '=')
            return fail(number, "expected '=' after the name");
        std::string data = Trim(line.substr(pos + 1));
        // Hex data may continue on following lines after a trailing backslash.
        if (Lower(data).rfind("hex", 0) == 0) {
            while (!data.empty() && data.back() == '\\') {
                data.pop_back();
                if (++i >= lines.size())
                    return fail(number, "hex data ends in a continuation");
                data += Trim(lines[i].second);
            }
        }
        std::string lower = Lower(data);
        if (data == "-") {
            op.kind = ImportOp::kDeleteValue;
        } else if (!data.empty() && data[0] == '"') {
            size_t p = 0;
            std::string s;
            if (!ParseQuoted(data, &p, &s) || p != data.size())
                return fail(number, "malformed string data");
            std::u16string w;
            if (!Utf8ToUtf16(s, &w))
                return fail(number, "the string is not valid UTF-8");
            op.value.type = REG_SZ;
            op.value.data = ToLE(w) + std::string(2, '\0');
        } else if (lower.rfind("dword:", 0) == 0) {
            std::string digits = data.substr(6);
            std::uint64_t v = 0;
            if (digits.empty() || digits.size() > 8 || !ParseNumber("0x" + digits, UINT32_MAX, &v))
                return fail(number, "dword data needs 1 to 8 hex digits");
            op.value.type = REG_DWORD;
            for (int b = 0; b < 4; ++b)
                op.value.data.push_back(static_cast<char>((v >> (8 * b)) & 0xff));
        } else if (lower.rfind("hex:", 0) == 0) {
            op.value.type = REG_BINARY;
            if (!ParseHexList(data.substr(4), &op.value.data))
                return fail(number, "malformed hex data");
        } else if (lower.rfind("hex(", 0) == 0) {
            size_t close = data.find("):");
            std::uint64_t t = 0;
            if (close == std::string::npos ||
                !ParseNumber("0x" + data.substr(4, close - 4), UINT32_MAX, &t))
                return fail(number, "malformed hex(type) prefix");
            op.value.type = static_cast<DWORD>(t);
            if (!ParseHexList(data.substr(close + 2), &op.value.data))
                return fail(number, "malformed hex data");
        } else {
            return fail(number, "unknown data form \"" + data + "\"");
        }
        ops->push_back(op);
    }
    return true;
}

}  // namespace winmreg
