#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/winmreg/regtext.h"
#include "wince/testing/child.h"

namespace {

namespace fs = std::filesystem;
using namespace winmreg;

std::string Bytes(const char* p, size_t n) {
    return std::string(p, n);
}

TEST(RegText, QueryDataColumn) {
    EXPECT_EQ(FormatData(REG_SZ, Bytes("W\0e\0b\0\0\0", 8)), "Web");
    EXPECT_EQ(FormatData(REG_SZ, Bytes("W\0e\0", 4)), "We");  // no terminator stored
    EXPECT_EQ(FormatData(REG_SZ, Bytes("\xc4\x00\0\0", 4)), "\xc3\x84");
    EXPECT_EQ(FormatData(REG_MULTI_SZ, Bytes("a\0\0\0b\0c\0\0\0\0\0", 12)), "a\\0bc");
    EXPECT_EQ(FormatData(REG_DWORD, Bytes("\x2a\0\0\0", 4)), "0x2a");
    EXPECT_EQ(FormatData(REG_DWORD, Bytes("\x2a\0", 2)), "2A00");  // wrong size: shown raw
    EXPECT_EQ(FormatData(REG_QWORD, Bytes("\1\0\0\0\0\0\0\x80", 8)), "0x8000000000000001");
    EXPECT_EQ(FormatData(REG_BINARY, Bytes("\x00\xab\x10", 3)), "00AB10");
    EXPECT_EQ(FormatData(REG_NONE, ""), "");
    EXPECT_EQ(TypeName(REG_EXPAND_SZ), "REG_EXPAND_SZ");
    EXPECT_EQ(TypeName(0x1234), "0x1234");
}

TEST(RegText, AddDataIsEncodedOrRejected) {
    std::string b, why;
    ASSERT_TRUE(EncodeData(REG_SZ, "Web", "\\0", &b, &why));
    EXPECT_EQ(b, Bytes("W\0e\0b\0\0\0", 8));
    ASSERT_TRUE(EncodeData(REG_SZ, "", "\\0", &b, &why));
    EXPECT_EQ(b, Bytes("\0\0", 2));
    ASSERT_TRUE(EncodeData(REG_DWORD, "0x10", "", &b, &why));
    EXPECT_EQ(b, Bytes("\x10\0\0\0", 4));
    ASSERT_TRUE(EncodeData(REG_DWORD, "4294967295", "", &b, &why));
    EXPECT_EQ(b, "\xff\xff\xff\xff");
    ASSERT_TRUE(EncodeData(REG_QWORD, "0x0102030405060708", "", &b, &why));
    EXPECT_EQ(b, "\x08\x07\x06\x05\x04\x03\x02\x01");
    ASSERT_TRUE(EncodeData(REG_MULTI_SZ, "a\\0b", "\\0", &b, &why));
    EXPECT_EQ(b, Bytes("a\0\0\0b\0\0\0\0\0", 10));
    ASSERT_TRUE(EncodeData(REG_MULTI_SZ, "a#b", "#", &b, &why));
    EXPECT_EQ(b, Bytes("a\0\0\0b\0\0\0\0\0", 10));
    ASSERT_TRUE(EncodeData(REG_BINARY, "00aBff", "", &b, &why));
    EXPECT_EQ(b, Bytes("\x00\xab\xff", 3));

    for (const char* bad : {"4294967296", "-1", "12x", "0x", "0x100000000"})
        EXPECT_FALSE(EncodeData(REG_DWORD, bad, "", &b, &why)) << bad;
    EXPECT_FALSE(EncodeData(REG_QWORD, "18446744073709551616", "", &b, &why));
    EXPECT_FALSE(EncodeData(REG_BINARY, "abc", "", &b, &why));
    EXPECT_FALSE(EncodeData(REG_BINARY, "zz", "", &b, &why));
    EXPECT_FALSE(EncodeData(REG_MULTI_SZ, "a\\0\\0b", "\\0", &b, &why));
    EXPECT_FALSE(EncodeData(REG_SZ, "\xc3", "", &b, &why));  // truncated UTF-8
    EXPECT_FALSE(why.empty());
}

TEST(RegText, KeyPaths) {
    KeyPath k;
    ASSERT_TRUE(ParseKeyPath("hklm\\SOFTWARE\\Ambrel\\", &k));
    EXPECT_EQ(k.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(k.subkey, u"SOFTWARE\\Ambrel");
    EXPECT_EQ(k.Display(), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Ambrel");
    ASSERT_TRUE(ParseKeyPath("HKEY_CURRENT_USER", &k));
    EXPECT_EQ(k.root, HKEY_CURRENT_USER);
    EXPECT_TRUE(k.subkey.empty());
    for (const char* bad : {"HKXX\\a", "", "\\\\host\\HKLM\\a", "HKLM\\\\a", "HKLM\\a\\\\b"})
        EXPECT_FALSE(ParseKeyPath(bad, &k)) << bad;
}

// Every value survives being written as a file line and read back, bytes
// and type exactly, whichever textual form it takes.
TEST(RegText, FileLinesRoundTripExactly) {
    const std::vector<Value> values = {
        {u"", REG_SZ, Bytes("d\0\0\0", 4)},
        {u"quote\"back\\slash", REG_SZ, Bytes("C\0:\0\\\0\"\0\0\0", 10)},
        {u"noterm", REG_SZ, Bytes("a\0", 2)},
        {u"newline", REG_SZ, Bytes("a\0\n\0\0\0", 6)},
        {u"odd", REG_SZ, Bytes("abc", 3)},
        {u"dword", REG_DWORD, Bytes("\x78\x56\x34\x12", 4)},
        {u"short-dword", REG_DWORD, Bytes("\x01", 1)},
        {u"bin", REG_BINARY, std::string(300, '\xa5')},
        {u"empty-bin", REG_BINARY, ""},
        {u"multi", REG_MULTI_SZ, Bytes("a\0\0\0\0\0", 6)},
        {u"qword", REG_QWORD, Bytes("\1\2\3\4\5\6\7\x08", 8)},
        {u"custom", 0x12345, "xyz"},
        {u"\u00e4\u20ac\U0001F600", REG_SZ, Bytes("\xe4\x00\xac\x20\x3d\xd8\x00\xde\0\0", 10)},
    };
    std::string text = std::string(kFileHeader) + "\r\n\r\n[HKLM\\T]\r\n";
    for (const auto& v : values)
        ASSERT_TRUE(AppendValueLine(v, &text));
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1)
        EXPECT_LE(end - pos, 82u) << "long hex data must wrap";
    std::vector<ImportOp> ops;
    std::string why;
    ASSERT_TRUE(ParseRegistryFile(text, &ops, &why)) << why;
    ASSERT_EQ(ops.size(), values.size() + 1);
    EXPECT_EQ(ops[0].kind, ImportOp::kCreateKey);
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(ops[i + 1].kind, ImportOp::kSetValue);
        EXPECT_EQ(ops[i + 1].value.name, values[i].name) << i;
        EXPECT_EQ(ops[i + 1].value.type, values[i].type) << i;
        EXPECT_EQ(ops[i + 1].value.data, values[i].data) << i;
    }
    EXPECT_FALSE(AppendValueLine({u"two\nlines", REG_SZ, ""}, &text));
}

TEST(RegText, BadFilesAreRefusedWithTheLine) {
    std::vector<ImportOp> ops;
    std::string why;
    const std::string head = std::string(kFileHeader) + "\n";
    EXPECT_FALSE(ParseRegistryFile("REGEDIT4\n[HKLM\\a]\n", &ops, &why));
    EXPECT_FALSE(ParseRegistryFile("", &ops, &why));
    struct Bad {
        const char* body;
        int line;
    } cases[] = {
        {"\"v\"=\"x\"\n", 2},                       // value before any key
        {"[HKLM\\a]\n\"v\"=dword:123456789\n", 3},  // too many digits
        {"[HKLM\\a]\n\"v\"=hex:0g\n", 3},
        {"[HKLM\\a]\n\"v\"=hex:01,\\\n", 3},  // continuation at end of file
        {"[HKLM\\a]\n\"v\"=\"unterminated\n", 3},
        {"[HKLM\\a]\n\"v\"=\"x\" trailing\n", 3},
        {"[HKLM\\a]\nv=\"x\"\n", 3},
        {"[HKXX\\a]\n", 2},
        {"[HKLM\\a\n", 2},
        {"[-HKLM]\n", 2},
        {"[HKLM\\a]\n\"v\"=word:1\n", 3},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ParseRegistryFile(head + c.body, &ops, &why)) << c.body;
        EXPECT_EQ(why.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << why;
        EXPECT_TRUE(ops.empty());
    }
    // Deletions, comments, a UTF-8 BOM and UTF-16 input are understood.
    ASSERT_TRUE(ParseRegistryFile(
        "\xEF\xBB\xBF" + head + "; note\n[-HKCU\\x]\n[HKCU\\y]\n\"v\"=-\n", &ops, &why))
        << why;
    ASSERT_EQ(ops.size(), 3u);
    EXPECT_EQ(ops[0].kind, ImportOp::kDeleteKey);
    EXPECT_EQ(ops[2].kind, ImportOp::kDeleteValue);
    std::string utf16 = "\xFF\xFE";
    for (char c : head + "[HKCU\\z]\n@=\"q\"\n")
        utf16 += std::string{c, '\0'};
    ASSERT_TRUE(ParseRegistryFile(utf16, &ops, &why)) << why;
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_EQ(ops[1].value.data, Bytes("q\0\0\0", 4));
}

// --- the tool as a process, over a store of the test's own ----------------

struct Result {
    int code = -1;
    std::string out, err;
};

class WinmregTool : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/winmreg-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        store_ = dir_ / "reg.sqlite3";
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::string Quote(const std::string& s) {
        std::string q = "'";
        for (char c : s)
            q += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return q + "'";
    }
    static std::string Slurp(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string Command(const std::vector<std::string>& args, const fs::path& store) {
        std::string cmd = "WINM_REGISTRY=" + Quote(store.string()) + " " + WINMREG_PATH;
        for (const auto& a : args)
            cmd += " " + Quote(a);
        return cmd;
    }
    Result Run(const std::vector<std::string>& args, const fs::path& store = {}) {
        std::string cmd = Command(args, store.empty() ? store_ : store) + " </dev/null >" +
                          Quote((dir_ / "out").string()) + " 2>" + Quote((dir_ / "err").string());
        Result r;
        int status = std::system(cmd.c_str());
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(dir_ / "out");
        r.err = Slurp(dir_ / "err");
        return r;
    }
    fs::path dir_, store_;
};

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(WinmregTool, QueryPrintsLikeReg) {
    const std::string key = "HKLM\\SOFTWARE\\Ambrel\\SearchPlugin";
    EXPECT_EQ(Run({"add", key, "/v", "zel", "/d", "abc"}).code, 0);
    EXPECT_EQ(Run({"add", key, "/v", "upgrade_before", "/t", "REG_DWORD", "/d", "1700000000"}).code,
              0);
    EXPECT_EQ(Run({"add", key, "/v", "blob", "/t", "REG_BINARY", "/d", "00ff10"}).code, 0);
    EXPECT_EQ(Run({"add", key + "\\Sub"}).code, 0);

    Result r = Run({"query", "hkey_local_machine\\software\\ambrel\\searchplugin"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\software\\ambrel\\searchplugin\n"
              "    zel    REG_SZ    abc\n"
              "    upgrade_before    REG_DWORD    0x6553f100\n"
              "    blob    REG_BINARY    00FF10\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\software\\ambrel\\searchplugin\\Sub\n");

    r = Run({"query", key, "/v", "zel"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ambrel\\SearchPlugin\n    zel    REG_SZ    abc\n\n");

    r = Run({"query", "HKLM\\SOFTWARE", "/s"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ambrel\\SearchPlugin\\Sub\n"),
              std::string::npos);

    r = Run({"query", "HKLM\\SOFTWARE", "/v", "zel", "/s"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("End of search: 1 match(es) found."), std::string::npos);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"query", key + "\\Nope"}, {"query", key, "/v", "nope"}, {"query", key, "/ve"}}) {
        r = Run(args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, kNotFound);
        EXPECT_EQ(r.out, "");
    }
}

// Stored text must not drive the terminal that shows it; piped output keeps
// the data exactly as stored.
TEST_F(WinmregTool, QueryEscapesControlCharactersOnlyOnATerminal) {
    const std::string key = "HKLM\\SOFTWARE\\Ambrel\\SearchPlugin";
    const std::string stored = "a\x1b[2Jb\nc\x7f\xC2\x9b\xC3\xA9";
    ASSERT_EQ(Run({"add", key, "/v", "zel", "/d", stored}).code, 0);
    Result piped = Run({"query", key, "/v", "zel"});
    EXPECT_NE(piped.out.find("    zel    REG_SZ    " + stored + "\n"), std::string::npos);

    // script gives the tool a terminal as its output.
    const std::string cmd = "script -qec " + Quote(Command({"query", key, "/v", "zel"}, store_)) +
                            " /dev/null </dev/null >" + Quote((dir_ / "tty").string());
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string shown = Slurp(dir_ / "tty");
    EXPECT_NE(shown.find("    zel    REG_SZ    a\\x1b[2Jb\\nc\\x7f\\x9b\xC3\xA9"),
              std::string::npos)
        << shown;
    EXPECT_EQ(shown.find('\x1b'), std::string::npos);
}

TEST_F(WinmregTool, RefusesWhatItWouldHaveToAsk) {
    const std::string key = "HKCU\\Software\\T";
    ASSERT_EQ(Run({"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "1"}).code, 0);
    Result r = Run({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "2"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/f"), std::string::npos);
    EXPECT_NE(Run({"query", key, "/v", "n"}).out.find("0x1"), std::string::npos);
    ASSERT_EQ(Run({"add", key, "/v", "N", "/t", "REG_DWORD", "/d", "2", "/f"}).code, 0);
    EXPECT_NE(Run({"query", key, "/v", "n"}).out.find("0x2"), std::string::npos);

    EXPECT_EQ(Run({"delete", key, "/v", "n"}).code, 1);
    EXPECT_EQ(Run({"delete", key}).code, 1);
    EXPECT_EQ(Run({"query", key, "/v", "n"}).code, 0);
    EXPECT_EQ(Run({"delete", key, "/v", "n", "/f"}).code, 0);
    EXPECT_EQ(Run({"query", key, "/v", "n"}).code, 1);
    EXPECT_EQ(Run({"delete", key, "/v", "n", "/f"}).err, kNotFound);
    EXPECT_EQ(Run({"delete", "HKCU\\Software", "/f"}).code, 0);
    EXPECT_EQ(Run({"query", key}).err, kNotFound);
    EXPECT_EQ(Run({"delete", "HKCU", "/f"}).code, 1);

    ASSERT_EQ(Run({"add", key}).code, 0);
    fs::path file = dir_ / "t.reg";
    ASSERT_EQ(Run({"export", key, file.string()}).code, 0);
    r = Run({"export", key, file.string()});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("/y"), std::string::npos);
    EXPECT_EQ(Run({"export", key, file.string(), "/y"}).code, 0);
}

TEST_F(WinmregTool, BadInputGivesAMessageAndExitCode) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"frob"},
             {"query"},
             {"query", "HKXX\\a"},
             {"query", "HKLM", "/q"},
             {"query", "HKLM", "/v"},
             {"add", "HKLM\\a", "/v", "x", "/ve"},
             {"add", "HKLM\\a", "/d", "x"},
             {"add", "HKLM\\a", "/v", "x", "/t", "REG_FOO"},
             {"add", "HKLM\\a", "/v", "x", "/t", "REG_DWORD", "/d", "0x1ffffffff"},
             {"add", "HKLM\\a", "/v", "x", "/v", "y"},
             {"add", "HKLM\\" + std::string(300, 'k')},
             {"import", (dir_ / "missing.reg").string()},
             {"export", "HKLM\\nope", (dir_ / "x.reg").string()},
         }) {
        Result r = Run(args);
        EXPECT_EQ(r.code, 1) << (args.empty() ? "" : args[0]);
        EXPECT_NE(r.err.find("ERROR"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Run({"/?"}).code, 0);

    // A store that cannot be used is named with the reason in one line, and
    // left as it was.
    std::ofstream(store_) << "not a registry";
    Result r = Run({"query", "HKLM"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "ERROR: The registry file " + store_.string() +
                         " cannot be used: it is not a registry database.\n");
    EXPECT_EQ(Slurp(store_), "not a registry");
    r = Run({"query", "HKLM"}, dir_);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "ERROR: The registry file " + dir_.string() +
                         " cannot be used: it is a directory.\n");
    // As a user whom permissions bind (root they do not).
    const auto readOnlyStore = [&](const std::string& childDir) {
        dir_ = childDir;
        const fs::path readOnly = dir_ / "ro.sqlite3";
        ASSERT_EQ(Run({"add", "HKLM\\a"}, readOnly).code, 0);
        fs::permissions(readOnly, fs::perms::owner_read);
        Result denied = Run({"add", "HKLM\\b"}, readOnly);
        EXPECT_EQ(denied.code, 1);
        EXPECT_EQ(denied.err, "ERROR: The registry file " + readOnly.string() +
                                  " cannot be used: it is read-only.\n");
    };
    EXPECT_EQ(WinceRunInChild({.unprivileged = true}, readOnlyStore), "");
}

TEST_F(WinmregTool, ExportImportRoundTrip) {
    const std::string key = "HKLM\\SOFTWARE\\Ambrel";
    ASSERT_EQ(Run({"add", key, "/ve", "/d", "default"}).code, 0);
    ASSERT_EQ(Run({"add", key + "\\SearchPlugin", "/v", "path", "/d", "C:\\dir \"x\""}).code, 0);
    ASSERT_EQ(Run({"add", key + "\\SearchPlugin", "/v", "n", "/t", "REG_DWORD", "/d", "7"}).code,
              0);
    ASSERT_EQ(Run({"add", key + "\\SearchPlugin", "/v", "m", "/t", "REG_MULTI_SZ", "/d",
                   "a\\0b\\0\xc3\xa4"})
                  .code,
              0);
    ASSERT_EQ(Run({"add", key + "\\SearchPlugin\\Deep", "/v", "q", "/t", "REG_QWORD", "/d",
                   "0x1122334455667788"})
                  .code,
              0);
    ASSERT_EQ(
        Run({"add", key + "\\Other", "/v", "b", "/t", "REG_BINARY", "/d", std::string(200, 'a')})
            .code,
        0);
    ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Elsewhere", "/v", "x", "/d", "y"}).code, 0);

    fs::path file = dir_ / "ambrel.reg";
    ASSERT_EQ(Run({"export", key, file.string()}).code, 0);
    std::string text = Slurp(file);
    EXPECT_EQ(text.rfind(
                  "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ambrel]\n"
                  "@=\"default\"\n",
                  0),
              0u)
        << text;
    EXPECT_NE(text.find("\"path\"=\"C:\\\\dir \\\"x\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"n\"=dword:00000007\n"), std::string::npos);
    EXPECT_EQ(text.find("Elsewhere"), std::string::npos);

    // Into an empty store: the same tree comes out again.
    fs::path other = dir_ / "other.sqlite3";
    Result r = Run({"import", file.string()}, other);
    ASSERT_EQ(r.code, 0) << r.err;
    fs::path again = dir_ / "again.reg";
    ASSERT_EQ(Run({"export", key, again.string()}, other).code, 0);
    EXPECT_EQ(Slurp(again), text);
    EXPECT_EQ(Run({"query", key + "\\SearchPlugin", "/v", "m"}, other).out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Ambrel\\SearchPlugin\n"
              "    m    REG_MULTI_SZ    a\\0b\\0\xc3\xa4\n\n");

    // A file with an error imports nothing at all.
    std::ofstream(dir_ / "bad.reg") << "Windows Registry Editor Version 5.00\n\n[HKLM\\New]\n"
                                       "\"a\"=\"1\"\n\"b\"=dword:xyz\n";
    r = Run({"import", (dir_ / "bad.reg").string()}, other);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("line 5"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"query", "HKLM\\New"}, other).code, 1);
}

// Two writer processes loop over the same key; every write must survive.
TEST_F(WinmregTool, ConcurrentWritersLoseNothing) {
    constexpr int kEach = 40;
    std::vector<pid_t> pids;
    for (const char* who : {"a", "b"}) {
        std::string script = "set -e; i=0; while [ $i -lt " + std::to_string(kEach) +
                             " ]; do WINM_REGISTRY=" + Quote(store_.string()) + " " + WINMREG_PATH +
                             " add 'HKLM\\Stress' /v \"" + who + "$i\" /d \"" + who +
                             "-$i\" >/dev/null; i=$((i+1)); done";
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    fs::path file = dir_ / "stress.reg";
    ASSERT_EQ(Run({"export", "HKLM\\Stress", file.string()}).code, 0);
    std::string text = Slurp(file);
    for (const char* who : {"a", "b"})
        for (int i = 0; i < kEach; ++i) {
            std::string line = "\"" + std::string(who) + std::to_string(i) + "\"=\"" + who + "-" +
                               std::to_string(i) + "\"\n";
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
}

}  // namespace
