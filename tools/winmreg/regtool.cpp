#include "tools/winmreg/regtool.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "tools/winmreg/regtext.h"
#include "wince.h"

namespace winmreg {
namespace {

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.";
const char kDone[] = "The operation completed successfully.";

const char kUsage[] =
    "winmreg: read and change the registry store of the host layer.\n"
    "\n"
    "  winmreg query  KEY [/v NAME | /ve] [/s]\n"
    "  winmreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  winmreg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  winmreg export KEY FILE [/y]\n"
    "  winmreg import FILE\n"
    "\n"
    "KEY is ROOT[\\SUBKEY] with ROOT one of HKLM, HKCU, HKCR, HKU or their long\n"
    "forms (HKEY_LOCAL_MACHINE, ...). TYPE is REG_SZ (default), REG_EXPAND_SZ,\n"
    "REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY or REG_NONE. DWORD and QWORD\n"
    "data are decimal or 0x-prefixed hex; binary data is hex digits; REG_MULTI_SZ\n"
    "items are separated by \\0 or by /s SEPARATOR.\n"
    "\n"
    "winmreg never asks questions: overwriting a value, deleting, and exporting\n"
    "over an existing file are refused unless /f (or /y for export) is given.\n"
    "Files are written as UTF-8. The store is $WINM_REGISTRY, else\n"
    "$XDG_STATE_HOME/winm/registry.sqlite3 (~/.local/state/winm/...).\n";

// Options of one command: flags take no argument, the others take one.
struct Options {
    std::vector<std::string> positional;
    std::set<std::string> flags;
    std::map<std::string, std::string> values;
    bool Has(const std::string& f) const { return flags.count(f) != 0 || values.count(f) != 0; }
};

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool ParseOptions(const std::vector<std::string>& args, const std::set<std::string>& flags,
                  const std::set<std::string>& withArg, Options* out, std::string* error) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        // Options are one or two letters after '/' or '-'; anything longer
        // (such as an absolute file path) is an operand.
        bool optionLike = (a.size() == 2 || a.size() == 3) && (a[0] == '/' || a[0] == '-') &&
                          std::isalpha(static_cast<unsigned char>(a[1])) &&
                          std::isalpha(static_cast<unsigned char>(a.back()));
        if (optionLike) {
            std::string name = Lower(a.substr(1));
            if (out->Has(name)) {
                *error = "option " + a + " is given twice";
                return false;
            }
            if (flags.count(name) != 0) {
                out->flags.insert(name);
            } else if (withArg.count(name) != 0) {
                if (i + 1 >= args.size()) {
                    *error = "option " + a + " needs a value";
                    return false;
                }
                out->values[name] = args[++i];
            } else {
                *error = "unknown option " + a;
                return false;
            }
        } else {
            out->positional.push_back(a);
        }
    }
    return true;
}

int Syntax(std::ostream& err, const std::string& op, const std::string& detail) {
    err << "ERROR: Invalid syntax";
    if (!detail.empty())
        err << ": " << detail;
    err << ".\nType \"winmreg " << op << " /?\" for usage.\n";
    return 1;
}

int Failed(std::ostream& err, LONG e) {
    // A store that cannot be used is named with the reason, as the updater
    // warns about it.
    std::string problem = WinceRegistryStoreProblem(e);
    if (!problem.empty()) {
        problem[0] = 'T';
        err << "ERROR: " << problem << ".\n";
        return 1;
    }
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
            err << kNotFound << "\n";
            break;
        case ERROR_INVALID_PARAMETER:
            err << "ERROR: Invalid key or value name.\n";
            break;
        case ERROR_ACCESS_DENIED:
            err << "ERROR: Access is denied.\n";
            break;
        default:
            err << "ERROR: The registry call failed with error " << e << ".\n";
            break;
    }
    return 1;
}

// Closes a key handle on scope exit.
struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h != nullptr)
            RegCloseKey(h);
    }
};

LONG Open(const KeyPath& k, Key* out) {
    return RegOpenKeyExW(k.root, k.subkey.empty() ? nullptr : k.subkey.c_str(), 0, KEY_READ,
                         &out->h);
}

LONG Subkeys(HKEY h, std::vector<std::u16string>* out) {
    out->clear();
    WCHAR name[WINCE_REG_MAX_KEY_NAME + 1];
    for (DWORD i = 0;; ++i) {
        DWORD cch = WINCE_REG_MAX_KEY_NAME + 1;
        LONG e = RegEnumKeyExW(h, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (e != ERROR_SUCCESS)
            return e;
        out->emplace_back(name, cch);
    }
}

LONG Values(HKEY h, std::vector<Value>* out) {
    out->clear();
    std::vector<WCHAR> name(WINCE_REG_MAX_VALUE_NAME + 1);
    for (DWORD i = 0;;) {
        DWORD cch = static_cast<DWORD>(name.size()), type = 0, size = 0;
        LONG e = RegEnumValueW(h, i, name.data(), &cch, nullptr, &type, nullptr, &size);
        if (e == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (e != ERROR_SUCCESS)
            return e;
        Value v;
        v.data.assign(size, '\0');
        cch = static_cast<DWORD>(name.size());
        e = RegEnumValueW(h, i, name.data(), &cch, nullptr, &v.type,
                          reinterpret_cast<BYTE*>(v.data.data()), &size);
        if (e == ERROR_MORE_DATA)
            continue;  // changed in between: read it again
        if (e != ERROR_SUCCESS)
            return e;
        v.data.resize(size);
        v.name.assign(name.data(), cch);
        out->push_back(std::move(v));
        ++i;
    }
}

LONG QueryValue(HKEY h, const std::u16string& name, Value* out) {
    for (;;) {
        DWORD size = 0;
        LONG e = RegQueryValueExW(h, name.c_str(), nullptr, &out->type, nullptr, &size);
        if (e != ERROR_SUCCESS)
            return e;
        out->data.assign(size, '\0');
        e = RegQueryValueExW(h, name.c_str(), nullptr, &out->type,
                             reinterpret_cast<BYTE*>(out->data.data()), &size);
        if (e == ERROR_MORE_DATA)
            continue;
        if (e != ERROR_SUCCESS)
            return e;
        out->data.resize(size);
        out->name = name;
        return ERROR_SUCCESS;
    }
}

// Names and data as stored, or escaped for a terminal.
std::string Shown(const std::string& text, bool escape) {
    return escape ? EscapeControls(text) : text;
}

std::string ValueLine(const Value& v, bool escape) {
    std::string name = v.name.empty() ? "(Default)" : Utf16ToUtf8(v.name);
    return "    " + Shown(name, escape) + "    " + TypeName(v.type) + "    " +
           Shown(FormatData(v.type, v.data), escape);
}

KeyPath Child(const KeyPath& k, const std::u16string& name) {
    KeyPath c = k;
    c.subkey = k.subkey.empty() ? name : k.subkey + u"\\" + name;
    return c;
}

// --- query -----------------------------------------------------------------

LONG PrintTree(const KeyPath& k, bool recurse, bool escape, std::ostream& out) {
    Key h;
    LONG e = Open(k, &h);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<Value> values;
    std::vector<std::u16string> subkeys;
    if ((e = Values(h.h, &values)) != ERROR_SUCCESS)
        return e;
    if ((e = Subkeys(h.h, &subkeys)) != ERROR_SUCCESS)
        return e;
    out << "\n" << Shown(k.Display(), escape) << "\n";
    for (const auto& v : values)
        out << ValueLine(v, escape) << "\n";
    // In a recursive listing every key opens with its own blank line.
    if (!values.empty() && !recurse)
        out << "\n";
    for (const auto& s : subkeys) {
        if (recurse) {
            e = PrintTree(Child(k, s), true, escape, out);
            // A subkey deleted meanwhile is simply no longer there.
            if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
                return e;
        } else {
            out << Shown(Child(k, s).Display(), escape) << "\n";
        }
    }
    return ERROR_SUCCESS;
}

LONG FindValue(const KeyPath& k, const std::u16string& name, bool escape, std::ostream& out,
               int* matches) {
    Key h;
    LONG e = Open(k, &h);
    if (e != ERROR_SUCCESS)
        return e;
    Value v;
    e = QueryValue(h.h, name, &v);
    if (e == ERROR_SUCCESS) {
        out << "\n" << Shown(k.Display(), escape) << "\n" << ValueLine(v, escape) << "\n";
        ++*matches;
    } else if (e != ERROR_FILE_NOT_FOUND) {
        return e;
    }
    std::vector<std::u16string> subkeys;
    if ((e = Subkeys(h.h, &subkeys)) != ERROR_SUCCESS)
        return e;
    for (const auto& s : subkeys) {
        e = FindValue(Child(k, s), name, escape, out, matches);
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
            return e;
    }
    return ERROR_SUCCESS;
}

// Reads /v NAME or /ve into *name; false when neither is given.
bool ValueOption(const Options& o, std::u16string* name) {
    if (o.Has("ve")) {
        name->clear();
        return true;
    }
    auto it = o.values.find("v");
    if (it == o.values.end())
        return false;
    Utf8ToUtf16(it->second, name);
    return true;
}

int Query(const std::vector<std::string>& args, bool escape, std::ostream& out, std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, {"ve", "s"}, {"v"}, &o, &why))
        return Syntax(err, "QUERY", why);
    if (o.positional.size() != 1)
        return Syntax(err, "QUERY", "give exactly one KEY");
    if (o.Has("v") && o.Has("ve"))
        return Syntax(err, "QUERY", "/v and /ve exclude each other");
    KeyPath k;
    if (!ParseKeyPath(o.positional[0], &k)) {
        err << "ERROR: Invalid key name \"" << o.positional[0] << "\".\n";
        return 1;
    }
    std::u16string name;
    if (!ValueOption(o, &name)) {
        LONG e = PrintTree(k, o.Has("s"), escape, out);
        return e == ERROR_SUCCESS ? 0 : Failed(err, e);
    }
    if (o.Has("s")) {
        int matches = 0;
        LONG e = FindValue(k, name, escape, out, &matches);
        if (e != ERROR_SUCCESS)
            return Failed(err, e);
        if (matches == 0)
            return Failed(err, ERROR_FILE_NOT_FOUND);
        out << "\nEnd of search: " << matches << " match(es) found.\n";
        return 0;
    }
    Key h;
    Value v;
    LONG e = Open(k, &h);
    if (e == ERROR_SUCCESS)
        e = QueryValue(h.h, name, &v);
    if (e != ERROR_SUCCESS)
        return Failed(err, e);
    out << "\n" << Shown(k.Display(), escape) << "\n" << ValueLine(v, escape) << "\n\n";
    return 0;
}

// --- add / delete ----------------------------------------------------------

int Add(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, {"ve", "f"}, {"v", "t", "s", "d"}, &o, &why))
        return Syntax(err, "ADD", why);
    if (o.positional.size() != 1)
        return Syntax(err, "ADD", "give exactly one KEY");
    if (o.Has("v") && o.Has("ve"))
        return Syntax(err, "ADD", "/v and /ve exclude each other");
    std::u16string name;
    bool withValue = ValueOption(o, &name);
    if (!withValue && (o.Has("t") || o.Has("s") || o.Has("d")))
        return Syntax(err, "ADD", "/t, /s and /d need /v NAME or /ve");
    KeyPath k;
    if (!ParseKeyPath(o.positional[0], &k)) {
        err << "ERROR: Invalid key name \"" << o.positional[0] << "\".\n";
        return 1;
    }
    DWORD type = REG_SZ;
    if (o.Has("t") && !ParseTypeName(o.values["t"], &type)) {
        err << "ERROR: Unknown type \"" << o.values["t"] << "\".\n";
        return 1;
    }
    if (o.Has("s") && type != REG_MULTI_SZ)
        return Syntax(err, "ADD", "/s is for REG_MULTI_SZ");
    std::string bytes;
    if (withValue &&
        !EncodeData(type, o.values["d"], o.Has("s") ? o.values["s"] : "\\0", &bytes, &why)) {
        err << "ERROR: " << why << "\n";
        return 1;
    }
    Key h;
    LONG e = RegCreateKeyExW(k.root, k.subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_WRITE, nullptr, &h.h, nullptr);
    if (e != ERROR_SUCCESS)
        return Failed(err, e);
    if (withValue) {
        DWORD size = 0;
        e = RegQueryValueExW(h.h, name.c_str(), nullptr, nullptr, nullptr, &size);
        if (e == ERROR_SUCCESS && !o.Has("f")) {
            err << "ERROR: The value " << (name.empty() ? "(Default)" : Utf16ToUtf8(name))
                << " already exists; add /f to overwrite it (winmreg does not ask).\n";
            return 1;
        }
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
            return Failed(err, e);
        e = RegSetValueExW(h.h, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()));
        if (e != ERROR_SUCCESS)
            return Failed(err, e);
    }
    out << kDone << "\n";
    return 0;
}

int Refuse(std::ostream& err, const std::string& what) {
    err << "ERROR: Not deleting " << what
        << " without confirmation; add /f to delete it (winmreg does not ask).\n";
    return 1;
}

int Delete(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, {"ve", "va", "f"}, {"v"}, &o, &why))
        return Syntax(err, "DELETE", why);
    if (o.positional.size() != 1)
        return Syntax(err, "DELETE", "give exactly one KEY");
    if (o.Has("v") + o.Has("ve") + o.Has("va") > 1)
        return Syntax(err, "DELETE", "/v, /ve and /va exclude each other");
    KeyPath k;
    if (!ParseKeyPath(o.positional[0], &k)) {
        err << "ERROR: Invalid key name \"" << o.positional[0] << "\".\n";
        return 1;
    }
    Key h;
    LONG e = Open(k, &h);
    if (e != ERROR_SUCCESS)
        return Failed(err, e);
    std::u16string name;
    if (ValueOption(o, &name)) {
        Value v;
        if ((e = QueryValue(h.h, name, &v)) != ERROR_SUCCESS)
            return Failed(err, e);
        std::string shown = name.empty() ? "(Default)" : Utf16ToUtf8(name);
        if (!o.Has("f"))
            return Refuse(err, "the value " + shown + " of " + k.Display());
        if ((e = RegDeleteValueW(h.h, name.c_str())) != ERROR_SUCCESS)
            return Failed(err, e);
    } else if (o.Has("va")) {
        if (!o.Has("f"))
            return Refuse(err, "all values of " + k.Display());
        std::vector<Value> values;
        if ((e = Values(h.h, &values)) != ERROR_SUCCESS)
            return Failed(err, e);
        for (const auto& v : values) {
            e = RegDeleteValueW(h.h, v.name.c_str());
            if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
                return Failed(err, e);
        }
    } else {
        if (k.subkey.empty()) {
            err << "ERROR: A root key cannot be deleted.\n";
            return 1;
        }
        if (!o.Has("f"))
            return Refuse(err, "the key " + k.Display());
        if ((e = RegDeleteKeyW(k.root, k.subkey.c_str())) != ERROR_SUCCESS)
            return Failed(err, e);
    }
    out << kDone << "\n";
    return 0;
}

// --- export / import -------------------------------------------------------

LONG ExportTree(const KeyPath& k, std::string* text, std::ostream& err, bool* lossy) {
    Key h;
    LONG e = Open(k, &h);
    if (e != ERROR_SUCCESS)
        return e;
    std::vector<Value> values;
    std::vector<std::u16string> subkeys;
    if ((e = Values(h.h, &values)) != ERROR_SUCCESS)
        return e;
    if ((e = Subkeys(h.h, &subkeys)) != ERROR_SUCCESS)
        return e;
    *text += "[" + k.Display() + "]\n";
    for (const auto& v : values) {
        if (!AppendValueLine(v, text)) {
            err << "WARNING: The value \"" << Utf16ToUtf8(v.name) << "\" of " << k.Display()
                << " has a name the file format cannot hold; it was left out.\n";
            *lossy = true;
        }
    }
    *text += "\n";
    for (const auto& s : subkeys) {
        if (s.find_first_of(u"\r\n]") != std::u16string::npos || !IsValidUtf16(s)) {
            err << "WARNING: The key \"" << Utf16ToUtf8(s) << "\" below " << k.Display()
                << " has a name the file format cannot hold; it was left out.\n";
            *lossy = true;
            continue;
        }
        e = ExportTree(Child(k, s), text, err, lossy);
        if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
            return e;
    }
    return ERROR_SUCCESS;
}

int Export(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, {"y"}, {}, &o, &why))
        return Syntax(err, "EXPORT", why);
    if (o.positional.size() != 2)
        return Syntax(err, "EXPORT", "give KEY and FILE");
    KeyPath k;
    if (!ParseKeyPath(o.positional[0], &k)) {
        err << "ERROR: Invalid key name \"" << o.positional[0] << "\".\n";
        return 1;
    }
    const std::string& file = o.positional[1];
    std::string text = std::string(kFileHeader) + "\n\n";
    bool lossy = false;
    LONG e = ExportTree(k, &text, err, &lossy);
    if (e != ERROR_SUCCESS)
        return Failed(err, e);
    if (!o.Has("y") && access(file.c_str(), F_OK) == 0) {
        err << "ERROR: " << file
            << " already exists; add /y to overwrite it (winmreg does not ask).\n";
        return 1;
    }
    // Write beside the target and rename, so a failed export never leaves a
    // half-written file in place of a good one.
    std::string temp = file + ".tmp" + std::to_string(getpid());
    {
        std::ofstream f(temp, std::ios::binary | std::ios::trunc);
        f << text;
        f.flush();
        if (!f) {
            err << "ERROR: Cannot write " << file << ": " << std::strerror(errno) << "\n";
            std::remove(temp.c_str());
            return 1;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        err << "ERROR: Cannot write " << file << ": " << std::strerror(errno) << "\n";
        std::remove(temp.c_str());
        return 1;
    }
    if (lossy)
        return 1;
    out << kDone << "\n";
    return 0;
}

int Import(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options o;
    std::string why;
    if (!ParseOptions(args, {}, {}, &o, &why))
        return Syntax(err, "IMPORT", why);
    if (o.positional.size() != 1)
        return Syntax(err, "IMPORT", "give exactly one FILE");
    const std::string& file = o.positional[0];
    std::ifstream f(file, std::ios::binary);
    if (!f) {
        err << "ERROR: Cannot read " << file << ": " << std::strerror(errno) << "\n";
        return 1;
    }
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<ImportOp> ops;
    if (!ParseRegistryFile(bytes, &ops, &why)) {
        err << "ERROR: " << file << ": " << why << "; nothing was imported.\n";
        return 1;
    }
    Key current;
    for (const auto& op : ops) {
        LONG e = ERROR_SUCCESS;
        switch (op.kind) {
            case ImportOp::kCreateKey:
                if (current.h != nullptr)
                    RegCloseKey(current.h);
                current.h = nullptr;
                e = RegCreateKeyExW(op.key.root, op.key.subkey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                    nullptr, &current.h, nullptr);
                break;
            case ImportOp::kDeleteKey:
                e = RegDeleteKeyW(op.key.root, op.key.subkey.c_str());
                if (e == ERROR_FILE_NOT_FOUND)
                    e = ERROR_SUCCESS;
                break;
            case ImportOp::kSetValue:
                e = RegSetValueExW(current.h, op.value.name.c_str(), 0, op.value.type,
                                   reinterpret_cast<const BYTE*>(op.value.data.data()),
                                   static_cast<DWORD>(op.value.data.size()));
                break;
            case ImportOp::kDeleteValue:
                e = RegDeleteValueW(current.h, op.value.name.c_str());
                if (e == ERROR_FILE_NOT_FOUND)
                    e = ERROR_SUCCESS;
                break;
        }
        if (e != ERROR_SUCCESS) {
            err << "ERROR: " << file << ": line " << op.line << ": ";
            return Failed(err, e);
        }
    }
    out << kDone << "\n";
    return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool terminal) {
    if (args.empty()) {
        err << "ERROR: Invalid syntax: no operation given.\n\n" << kUsage;
        return 1;
    }
    std::string op = Lower(args[0]);
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "/?" || args[i] == "-?" || args[i] == "--help" || args[i] == "-h") {
            out << kUsage;
            return 0;
        }
    }
    if (op == "query")
        return Query(args, terminal, out, err);
    if (op == "add")
        return Add(args, out, err);
    if (op == "delete")
        return Delete(args, out, err);
    if (op == "export")
        return Export(args, out, err);
    if (op == "import")
        return Import(args, out, err);
    err << "ERROR: Invalid operation \"" << args[0] << "\".\n" << kUsage;
    return 1;
}

}  // namespace winmreg
