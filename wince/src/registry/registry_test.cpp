#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include "wince.h"
#include "wince/testing/child.h"
#include "wince/testing/hostlog.h"
#include "wince/testing/registry.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::u16string W(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Every test gets a store file of its own in a fresh directory.
class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/winm-reg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        UseStore(dir_ / "reg.sqlite3");
    }
    void TearDown() override {
        WinceRegistryCloseStore();
        std::error_code ec;
        fs::permissions(dir_, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
    }
    void UseStore(const fs::path& p) {
        WinceRegistryCloseStore();
        store_ = p;
        setenv("WINM_REGISTRY", p.c_str(), 1);
    }
    HKEY Create(HKEY root, const std::u16string& path, DWORD* disposition = nullptr) {
        HKEY k = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, 0, nullptr, &k, disposition),
                  ERROR_SUCCESS);
        return k;
    }
    LONG Set(HKEY k, const std::u16string& name, DWORD type, const std::string& bytes) {
        return RegSetValueExW(k, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                              static_cast<DWORD>(bytes.size()));
    }
    // Reads a value whole; returns the error code.
    LONG Get(HKEY k, const std::u16string& name, DWORD* type, std::string* bytes) {
        DWORD size = 0;
        LONG e = RegQueryValueExW(k, name.c_str(), nullptr, type, nullptr, &size);
        if (e != ERROR_SUCCESS)
            return e;
        bytes->assign(size, '\0');
        e = RegQueryValueExW(k, name.c_str(), nullptr, type, reinterpret_cast<BYTE*>(bytes->data()),
                             &size);
        bytes->resize(size);
        return e;
    }

    fs::path dir_;
    fs::path store_;
};

TEST_F(RegistryTest, CreateMakesMissingParentsAndReportsDisposition) {
    DWORD disp = 0;
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ambrel\\SearchPlugin", &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);

    HKEY parent = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ambrel", 0, 0, &parent), ERROR_SUCCESS);
    k = Create(parent, u"SearchPlugin", &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    RegCloseKey(k);
    k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Ambrel\\SearchPlugin\\", &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    RegCloseKey(k);
    RegCloseKey(parent);

    // Roots are separate trees.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"SOFTWARE\\Ambrel", 0, 0, &k),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(k, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nothing", 0, 0, &k),
              ERROR_FILE_NOT_FOUND);
    // Null or empty subkey opens the key itself.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, 0, &k), ERROR_SUCCESS);
    RegCloseKey(k);

    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", 0, 0, &k), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\\\B", 0, 0, &k), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(std::string(256, 'x')).c_str(), 0, nullptr, 0,
                              0, nullptr, &k, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, 0, nullptr),
              ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, ValuesRoundTripWithTypeAndExactBytes) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Types");
    const std::string sz("W\0e\0b\0\0\0", 8);
    const std::string szNoTerminator("a\0b\0", 4);
    const std::string embeddedNul("a\0\0\0b\0\0\0", 8);
    const std::string dword("\x78\x56\x34\x12", 4);
    const std::string binary("\x00\xff\x00\x10\x80", 5);
    const std::string multi("a\0\0\0b\0\0\0\0\0", 10);
    const std::string qword("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    const std::string odd("\x01\x02\x03", 3);
    struct Case {
        const char16_t* name;
        DWORD type;
        std::string bytes;
    } cases[] = {
        {u"sz", REG_SZ, sz},
        {u"noterm", REG_SZ, szNoTerminator},
        {u"embedded", REG_SZ, embeddedNul},
        {u"expand", REG_EXPAND_SZ, sz},
        {u"dword", REG_DWORD, dword},
        {u"binary", REG_BINARY, binary},
        {u"multi", REG_MULTI_SZ, multi},
        {u"qword", REG_QWORD, qword},
        {u"none", REG_NONE, ""},
        {u"custom", 0x12345u, odd},
        {u"", REG_SZ, sz},  // the default value
    };
    for (const auto& c : cases)
        ASSERT_EQ(Set(k, c.name, c.type, c.bytes), ERROR_SUCCESS);
    RegCloseKey(k);
    WinceRegistryCloseStore();  // read back through a fresh connection

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Types", 0, 0, &k), ERROR_SUCCESS);
    for (const auto& c : cases) {
        DWORD type = 0xdead;
        std::string got;
        ASSERT_EQ(Get(k, c.name, &type, &got), ERROR_SUCCESS) << "value " << c.type;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(got, c.bytes);
    }
    // A null name is the default value.
    DWORD type = 0;
    std::string got;
    EXPECT_EQ(RegQueryValueExW(k, nullptr, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);

    // Overwriting changes type and size.
    ASSERT_EQ(Set(k, u"sz", REG_DWORD, dword), ERROR_SUCCESS);
    ASSERT_EQ(Get(k, u"sz", &type, &got), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(got, dword);

    EXPECT_EQ(RegSetValueExW(k, u"bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(k, u"bad", nullptr, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);
}

TEST_F(RegistryTest, QueryReportsSizesAndShortBuffers) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Sizes");
    // 127 characters and the terminator fill a 256-byte buffer exactly.
    std::u16string text(127, u'x');
    ASSERT_EQ(
        RegSetValueExW(k, u"fits", 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), 256),
        ERROR_SUCCESS);
    std::u16string longer(128, u'y');
    ASSERT_EQ(
        RegSetValueExW(k, u"long", 0, REG_SZ, reinterpret_cast<const BYTE*>(longer.c_str()), 258),
        ERROR_SUCCESS);

    BYTE buffer[256];
    DWORD type = REG_NONE, count = sizeof buffer;
    EXPECT_EQ(RegQueryValueExW(k, u"fits", nullptr, &type, buffer, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(std::memcmp(buffer, text.c_str(), 256), 0);

    std::memset(buffer, 0x5a, sizeof buffer);
    count = sizeof buffer;
    type = REG_NONE;
    EXPECT_EQ(RegQueryValueExW(k, u"long", nullptr, &type, buffer, &count), ERROR_MORE_DATA);
    EXPECT_EQ(count, 258u);
    EXPECT_EQ(type, REG_SZ);  // the type is reported even when the data is not

    count = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"long", nullptr, nullptr, nullptr, &count), ERROR_SUCCESS);
    EXPECT_EQ(count, 258u);

    count = 7;
    EXPECT_EQ(RegQueryValueExW(k, u"missing", nullptr, &type, buffer, &count),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(k, u"fits", nullptr, &type, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"fits", &reserved, &type, nullptr, &count),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(k);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"Software\\MyApp\\\u00C4rger\\\u03A3igma\\\U00010400");
    RegCloseKey(k);
    DWORD disp = 0;
    k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\myapp\\\u00E4RGER\\\u03C3IGMA\\\U00010428", &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    const std::string one("\x01\0\0\0", 4), two("\x02\0\0\0", 4);
    ASSERT_EQ(Set(k, u"Zel", REG_DWORD, one), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"ZEL", REG_DWORD, two), ERROR_SUCCESS);  // same value
    DWORD type = 0;
    std::string got;
    EXPECT_EQ(Get(k, u"zel", &type, &got), ERROR_SUCCESS);
    EXPECT_EQ(got, two);
    WCHAR name[32];
    DWORD cch = 32;
    ASSERT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"Zel");
    cch = 32;
    EXPECT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE", 0, 0, &k), ERROR_SUCCESS);
    cch = 32;
    ASSERT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"MyApp");
    RegCloseKey(k);
    // Different letters stay different keys.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\MyApq", 0, 0, &k),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, EnumerationOrderSizesAndKeyInfo) {
    HKEY k = Create(HKEY_CURRENT_USER, u"Enum");
    for (const char16_t* sub : {u"beta", u"Alpha", u"gamma", u"ALPHA2"})
        RegCloseKey(Create(k, sub));
    ASSERT_EQ(Set(k, u"z-first", REG_SZ, std::string("a\0\0\0", 4)), ERROR_SUCCESS);
    ASSERT_EQ(Set(k, u"a-second", REG_BINARY, "12345678"), ERROR_SUCCESS);

    std::vector<std::u16string> keys;
    WCHAR name[64];
    for (DWORD i = 0;; ++i) {
        DWORD cch = 64;
        LONG e = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(e, ERROR_SUCCESS);
        keys.emplace_back(name, cch);
    }
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"Alpha", u"ALPHA2", u"beta", u"gamma"}));

    DWORD cch = 5;  // "Alpha" needs 6 with the terminator
    EXPECT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

    cch = 64;
    DWORD type = 0, cb = 4;
    BYTE data[16];
    EXPECT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, &type, data, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 8u);
    cch = 64;
    cb = sizeof data;
    ASSERT_EQ(RegEnumValueW(k, 1, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), u"a-second");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), cb), "12345678");

    DWORD subkeys = 0, maxSub = 0, values = 0, maxName = 0, maxData = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &subkeys, &maxSub, nullptr, &values,
                               &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 4u);
    EXPECT_EQ(maxSub, 6u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(maxName, 8u);
    EXPECT_EQ(maxData, 8u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, BadHandlesAreRejected) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"H");
    ASSERT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(k, u"x", nullptr, nullptr, nullptr, &cb), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Set(k, u"x", REG_SZ, ""), ERROR_INVALID_HANDLE);
    HKEY junk = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234));
    EXPECT_EQ(RegOpenKeyExW(junk, u"a", 0, 0, &k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(nullptr, u"a", 0, 0, &k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyW(junk, u"a"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);  // roots cannot be closed
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"H", 0, 0, &k), ERROR_SUCCESS);
    RegCloseKey(k);
}

std::vector<std::string> g_warnings;

TEST_F(RegistryTest, StrictModeAllowsOnlyWhatAHandlesRightsGrant) {
    HKEY lax = Create(HKEY_LOCAL_MACHINE, u"Strict\\Key");  // rights 0
    g_warnings.clear();
    WinceSetHostWarningSinkForTesting([](const std::string& line) { g_warnings.push_back(line); });
    WinceRegistrySetStrictAccess(true);
    DWORD cb = 0;
    EXPECT_EQ(Set(lax, u"v", REG_SZ, "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegQueryValueExW(lax, u"v", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(lax, u"v"), ERROR_ACCESS_DENIED);
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(lax, u"Sub", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_ACCESS_DENIED);

    HKEY writer = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Strict\\Key", 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &writer, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(Set(writer, u"v", REG_SZ, "x"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(writer, u"v", nullptr, nullptr, nullptr, &cb), ERROR_ACCESS_DENIED);
    HKEY reader = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Strict\\Key", 0, KEY_READ, &reader),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(reader, u"v", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(Set(reader, u"v", REG_SZ, "y"), ERROR_ACCESS_DENIED);
    // Predefined roots carry every right.
    EXPECT_EQ(Set(HKEY_CURRENT_USER, u"root", REG_SZ, "x"), ERROR_SUCCESS);
    WinceRegistrySetStrictAccess(false);
    // A refusal is the handle's: the (writable) store is not reported.
    WinceSetHostWarningSinkForTesting(nullptr);
    EXPECT_TRUE(g_warnings.empty()) << g_warnings.front();
    EXPECT_EQ(WinceRegistryStoreProblem(ERROR_ACCESS_DENIED), "");
    EXPECT_EQ(Set(lax, u"v", REG_SZ, "z"), ERROR_SUCCESS);
    for (HKEY h : {lax, writer, reader})
        RegCloseKey(h);
}

TEST_F(RegistryTest, DeletesAreRecursiveAndOrphanOpenHandles) {
    HKEY deep = Create(HKEY_LOCAL_MACHINE, u"Del\\A\\B");
    HKEY a = Create(HKEY_LOCAL_MACHINE, u"Del\\A");
    ASSERT_EQ(Set(deep, u"v", REG_SZ, "xy"), ERROR_SUCCESS);
    ASSERT_EQ(Set(a, u"w", REG_SZ, "xy"), ERROR_SUCCESS);

    EXPECT_EQ(RegDeleteValueW(a, u"W"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(a, u"w"), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del\\a"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Del\\A"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER);

    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(deep, u"v", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(Set(a, u"w", REG_SZ, "xy"), ERROR_KEY_DELETED);
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExW(a, u"C", 0, nullptr, 0, 0, nullptr, &k, nullptr), ERROR_KEY_DELETED);

    // A new key of the same name is a different key: old handles stay dead
    // and the old values are gone.
    DWORD disp = 0;
    HKEY again = Create(HKEY_LOCAL_MACHINE, u"Del\\A\\B", &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegQueryValueExW(deep, u"v", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExW(again, u"v", nullptr, nullptr, nullptr, &cb), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    RegCloseKey(a);
    RegCloseKey(again);
}

TEST_F(RegistryTest, StoreIsCreatedUnderXdgStateHome) {
    const char* oldState = std::getenv("XDG_STATE_HOME");
    const std::string savedState = oldState ? oldState : "";
    unsetenv("WINM_REGISTRY");
    setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    WinceRegistryCloseStore();
    EXPECT_EQ(WinceRegistryStorePath(), (dir_ / "state/winm/registry.sqlite3").string());
    HKEY k = Create(HKEY_CURRENT_USER, u"X");
    RegCloseKey(k);
    EXPECT_TRUE(fs::is_regular_file(dir_ / "state/winm/registry.sqlite3"));

    unsetenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        EXPECT_EQ(WinceRegistryStorePath(),
                  std::string(home) + "/.local/state/winm/registry.sqlite3");
    }
    setenv("WINM_REGISTRY", store_.c_str(), 1);
    if (!savedState.empty())
        setenv("XDG_STATE_HOME", savedState.c_str(), 1);
}

TEST_F(RegistryTest, DamagedOrUnusableStoresFailWithoutBeingReplaced) {
    g_warnings.clear();
    WinceSetHostWarningSinkForTesting([](const std::string& line) { g_warnings.push_back(line); });
    HKEY k = nullptr;
    // Not a database at all.
    const std::string garbage(8192, '\x5a');
    WriteFile(store_, garbage);
    WinceRegistryCloseStore();
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &k), ERROR_BADDB);
    EXPECT_EQ(ReadFile(store_), garbage);

    // Someone else's database.
    fs::remove(store_);
    const fs::path foreign = dir_ / "foreign.sqlite3";
    ASSERT_EQ(std::system(("sqlite3 " + foreign.string() +
                           " 'CREATE TABLE notes(t TEXT); INSERT INTO notes VALUES(1);'")
                              .c_str()),
              0);
    const std::string foreignBytes = ReadFile(foreign);
    UseStore(foreign);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, nullptr, 0, 0, nullptr, &k, nullptr),
              ERROR_BADDB);
    EXPECT_EQ(ReadFile(foreign), foreignBytes);

    // One of ours, with its pages overwritten.
    const fs::path damaged = dir_ / "damaged.sqlite3";
    UseStore(damaged);
    k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Big");
    for (int i = 0; i < 200; ++i)
        Set(k, W("v" + std::to_string(i)), REG_BINARY, std::string(100, 'q'));
    RegCloseKey(k);
    WinceRegistryCloseStore();
    std::string bytes = ReadFile(damaged);
    ASSERT_GT(bytes.size(), 3 * 4096u);
    for (size_t i = 4096; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    WriteFile(damaged, bytes);
    LONG e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Big", 0, 0, &k);
    if (e == ERROR_SUCCESS) {
        DWORD cb = 0;
        e = RegQueryValueExW(k, u"v150", nullptr, nullptr, nullptr, &cb);
    }
    EXPECT_TRUE(e == ERROR_REGISTRY_CORRUPT || e == ERROR_BADDB) << e;
    EXPECT_EQ(ReadFile(damaged), bytes);

    // One of ours with a table gone.
    const fs::path partial = dir_ / "partial.sqlite3";
    UseStore(partial);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"A"));
    WinceRegistryCloseStore();
    ASSERT_EQ(std::system(("sqlite3 " + partial.string() + " 'DROP TABLE vals'").c_str()), 0);
    const std::string partialBytes = ReadFile(partial);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &k), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(ReadFile(partial), partialBytes);

    // A directory, and a path below a plain file, cannot be opened.
    UseStore(dir_);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &k), ERROR_CANTOPEN);
    UseStore(foreign / "below-a-file.sqlite3");
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &k), ERROR_CANTOPEN);

    // An unreadable file, as a user whom permissions bind (root they do not).
    WinceRegistryCloseStore();
    const auto unreadable = [&](const std::string& childDir) {
        g_warnings.clear();
        const fs::path locked = fs::path(childDir) / "locked.sqlite3";
        UseStore(locked);
        RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"A"));
        WinceRegistryCloseStore();
        fs::permissions(locked, fs::perms::none);
        HKEY denied = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &denied), ERROR_CANTOPEN);
        EXPECT_EQ(g_warnings, std::vector<std::string>{"**W: the registry file " + locked.string() +
                                                       " cannot be used: Permission denied"});
    };
    EXPECT_EQ(WinceRunInChild({.unprivileged = true}, unreadable), "");

    // Once the file is put right, the same process uses it.
    UseStore(dir_ / "fresh.sqlite3");
    WriteFile(store_, garbage);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &k), ERROR_BADDB);
    fs::remove(store_);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"A"));

    // Each file that could not be used was named once, with the reason.
    WinceSetHostWarningSinkForTesting(nullptr);
    const std::string w = "**W: the registry file ";
    std::vector<std::string> expected = {
        w + (dir_ / "reg.sqlite3").string() + " cannot be used: it is not a registry database",
        w + foreign.string() + " cannot be used: it is not a registry database",
        w + damaged.string() + " cannot be used: " +
            (e == ERROR_BADDB ? "it is not a registry database" : "the database is damaged"),
        w + partial.string() + " cannot be used: the database is damaged",
        w + dir_.string() + " cannot be used: it is a directory",
        w + (foreign / "below-a-file.sqlite3").string() + " cannot be used: Not a directory",
        w + (dir_ / "fresh.sqlite3").string() + " cannot be used: it is not a registry database"};
    EXPECT_EQ(g_warnings, expected);
}

// A store that fails while in use names the cause users can act on.
TEST_F(RegistryTest, StoreFailuresNameTheirCause) {
    g_warnings.clear();
    WinceSetHostWarningSinkForTesting([](const std::string& line) { g_warnings.push_back(line); });
    const std::string w = "**W: the registry file ";
    const std::u16string big(32 * 1024, u'x');
    const auto setBig = [&big](HKEY k, int i) {
        return RegSetValueExW(k, W("v" + std::to_string(i)).c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(big.c_str()),
                              static_cast<DWORD>(big.size() * 2));
    };

    // Another process holds the write lock past the wait: reads go on,
    // the write fails.
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Held"));
    WinceRegistrySetLockWaitForTesting(100);
    WinceRegistryCloseStore();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(store_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Held", 0, 0, &k), ERROR_SUCCESS);
    EXPECT_EQ(Set(k, u"v", REG_SZ, "x"), ERROR_TIMEOUT);
    RegCloseKey(k);
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    WinceRegistryCloseStore();
    WinceRegistrySetLockWaitForTesting(15000);
    EXPECT_EQ(g_warnings, std::vector<std::string>{
                              w + store_.string() +
                              " cannot be used: another process held its lock for too long"});

    // A full disk: a small file system of the child's own.
    const auto full = [&](const std::string& childDir) {
        g_warnings.clear();
        UseStore(fs::path(childDir) / "reg.sqlite3");
        HKEY k = Create(HKEY_LOCAL_MACHINE, u"Full");
        LONG e = ERROR_SUCCESS;
        for (int i = 0; i < 20 && e == ERROR_SUCCESS; ++i)
            e = setBig(k, i);
        EXPECT_EQ(e, ERROR_CANTWRITE);
        RegCloseKey(k);
        ASSERT_FALSE(g_warnings.empty());
        EXPECT_EQ(g_warnings.back(), w + store_.string() + " cannot be used: the disk is full");
    };
    EXPECT_EQ(WinceRunInChild({.tmpfsKiB = 256}, full), "");

    // Writing fails (here: past the file-size limit, EFBIG).
    const auto failing = [&](const std::string& childDir) {
        g_warnings.clear();
        UseStore(fs::path(childDir) / "reg.sqlite3");
        HKEY k = Create(HKEY_LOCAL_MACHINE, u"Limited");
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit none = {0, 0};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
        EXPECT_EQ(setBig(k, 0), ERROR_REGISTRY_IO_FAILED);
        RegCloseKey(k);
        ASSERT_FALSE(g_warnings.empty());
        EXPECT_EQ(g_warnings.back(),
                  w + store_.string() + " cannot be used: reading or writing it failed");
    };
    EXPECT_EQ(WinceRunInChild({}, failing), "");
    WinceSetHostWarningSinkForTesting(nullptr);
}

TEST_F(RegistryTest, ThreadsShareTheStoreSafely) {
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            HKEY k = nullptr;
            ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Threads", 0, nullptr, 0, 0, nullptr, &k,
                                      nullptr),
                      ERROR_SUCCESS);
            for (int i = 0; i < kEach; ++i) {
                DWORD v = static_cast<DWORD>(i);
                std::u16string name = W("t" + std::to_string(t) + "-" + std::to_string(i));
                ASSERT_EQ(
                    RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
                    ERROR_SUCCESS);
            }
            RegCloseKey(k);
        });
    }
    for (auto& th : threads)
        th.join();
    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Threads", 0, 0, &k), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 3u * kEach);
    RegCloseKey(k);
}

TEST_F(RegistryTest, AReadDoesNotWaitBehindAWriterWaitingForAnotherProcess) {
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"Stalled");
    DWORD v = 1;
    ASSERT_EQ(RegSetValueExW(k, u"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    // Another process holds the write lock (a connection of its own does
    // the same): this process's writer waits for it.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(store_.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::atomic<bool> writing{false};
    std::atomic<bool> written{false};
    std::thread writer([&] {
        DWORD w = 2;
        writing = true;
        EXPECT_EQ(RegSetValueExW(k, u"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&w), 4),
                  ERROR_SUCCESS);
        written = true;
    });
    while (!writing)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach the busy wait
    DWORD read = 0, size = sizeof read;
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(read, 1u);
    EXPECT_FALSE(written) << "the read waited for the writer";
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    writer.join();
    sqlite3_close(other);
    size = sizeof read;
    EXPECT_EQ(RegQueryValueExW(k, u"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(read, 2u);
    RegCloseKey(k);
}

// Runs only as the child of the concurrency test below: writes COUNT values
// named PREFIX-i and bumps a shared value COUNT times, each its own call.
TEST(RegistryChild, Writer) {
    const char* childArgs = std::getenv("WINCE_REG_CHILD");
    if (childArgs == nullptr)
        GTEST_SKIP() << "run by RegistryTest.TwoProcessesLoseNoWrite";
    std::string s(childArgs);
    std::string prefix = s.substr(0, s.find(','));
    int count = std::atoi(s.substr(s.find(',') + 1).c_str());
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stress", 0, nullptr, 0, 0, nullptr,
                              &k, nullptr),
              ERROR_SUCCESS);
    for (int i = 0; i < count; ++i) {
        std::u16string name = W(prefix + "-" + std::to_string(i));
        DWORD v = static_cast<DWORD>(i);
        ASSERT_EQ(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, u"shared", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
                  ERROR_SUCCESS);
    }
    RegCloseKey(k);
}

TEST_F(RegistryTest, TwoProcessesLoseNoWrite) {
    constexpr int kCount = 1000;
    HKEY k = Create(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stress");
    RegCloseKey(k);
    WinceRegistryCloseStore();  // children open their own connections

    std::vector<pid_t> pids;
    for (const char* prefix : {"first", "second"}) {
        std::string self = fs::read_symlink("/proc/self/exe");
        std::string filter = "--gtest_filter=RegistryChild.Writer";
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "WINCE_REG_CHILD=", 16) != 0)
                env.emplace_back(*e);
        env.push_back(std::string("WINCE_REG_CHILD=") + prefix + "," + std::to_string(kCount));
        std::vector<char*> envp, argv{self.data(), filter.data(), nullptr};
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Stress", 0, 0, &k), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 2u * kCount + 1);
    for (const char* prefix : {"first", "second"}) {
        for (int i = 0; i < kCount; ++i) {
            DWORD v = 0xffffffff, cb = 4, type = 0;
            std::u16string name = W(std::string(prefix) + "-" + std::to_string(i));
            ASSERT_EQ(
                RegQueryValueExW(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb),
                ERROR_SUCCESS);
            EXPECT_EQ(v, static_cast<DWORD>(i));
        }
    }
    DWORD shared = 0, cb = 4;
    ASSERT_EQ(
        RegQueryValueExW(k, u"shared", nullptr, nullptr, reinterpret_cast<BYTE*>(&shared), &cb),
        ERROR_SUCCESS);
    EXPECT_EQ(shared, static_cast<DWORD>(kCount - 1));
    RegCloseKey(k);
}

}  // namespace
