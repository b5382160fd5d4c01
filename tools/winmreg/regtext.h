// Text forms of registry data for winmreg: UTF conversions, the value
// display of `query`, the data syntax of `add`, and the registry-file
// format of `export` / `import`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wince.h"

namespace winmreg {

// UTF-8 to UTF-16; false on malformed input.
bool Utf8ToUtf16(const std::string& in, std::u16string* out);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& in);
// True when the text has no unpaired surrogate.
bool IsValidUtf16(const std::u16string& in);

// A value as stored: name, type code and raw bytes.
struct Value {
    std::u16string name;
    DWORD type = REG_NONE;
    std::string data;
};

// UTF-8 text with its control characters (below U+0020, DEL, U+0080 to
// U+009F) as escapes ("\n", "\r", "\t", else "\x1b" and the like): how
// `query` shows names and data on a terminal, which they must not drive.
std::string EscapeControls(const std::string& utf8);

// "REG_SZ", "REG_DWORD", ...; unknown codes as "0x...".
std::string TypeName(DWORD type);
// Parses a type name as given to `add /t` (case-insensitive).
bool ParseTypeName(const std::string& name, DWORD* type);

// The DATA column of `query`: strings as text, REG_MULTI_SZ joined with
// "\0", REG_DWORD / REG_QWORD as 0x..., everything else as hex digits.
std::string FormatData(DWORD type, const std::string& data);

// Builds the stored bytes for `add /t TYPE /d DATA`; on failure returns
// false and says why in *error.
bool EncodeData(DWORD type, const std::string& text, const std::string& separator,
                std::string* bytes, std::string* error);

// A predefined root as named on the command line or in a file: HKLM or
// HKEY_LOCAL_MACHINE and so on, case-insensitive.
struct KeyPath {
    HKEY root = nullptr;
    std::string rootName;         // the long form, e.g. HKEY_LOCAL_MACHINE
    std::u16string subkey;        // below the root, without leading/trailing '\'
    std::string Display() const;  // rootName[\subkey], UTF-8
};
bool ParseKeyPath(const std::string& text, KeyPath* out);

// --- registry files ------------------------------------------------------

extern const char kFileHeader[];  // "Windows Registry Editor Version 5.00"

// Appends one value line ("name"=data), wrapping long hex data as regedit
// does. Returns false for a name that the format cannot carry (line breaks,
// unpaired surrogates).
bool AppendValueLine(const Value& v, std::string* out);

// One step of an import, in file order.
struct ImportOp {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind;
    KeyPath key;
    Value value;  // kSetValue / kDeleteValue
    int line = 0;
};

// Parses a whole registry file (UTF-8, with or without BOM, or UTF-16LE with
// BOM; LF or CRLF). On failure returns false with "line N: reason" in *error
// and nothing is to be applied.
bool ParseRegistryFile(const std::string& bytes, std::vector<ImportOp>* ops, std::string* error);

}  // namespace winmreg
