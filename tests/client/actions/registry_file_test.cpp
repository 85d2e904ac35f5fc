// The registry file reader: the export format's value kinds, continuations, case rules, the two
// markers, and malformed lines passed over with their line numbers.
#include <gtest/gtest.h>

#include "client/actions/registry_file.h"

namespace orvane {
namespace {

const char* const kFile =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; settings of the nightly job\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvane]\r\n"
    "@=\"default text\"\r\n"
    "\"Server\"=\"ftp.example.org\"\r\n"
    "\"Quoted\"=\"say \\\"hi\\\" C:\\\\temp\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Big\"=hex(b):00,00,00,00,01,00,00,00\r\n"
    "\"Bytes\"=hex:41,42,\\\r\n"
    "  43,00,44\r\n"
    "\"Path\"=hex(2):25,00,54,00,4d,00,50,00,25,00,00,00\r\n"
    "\"Gone\"=\"x\"\r\n"
    "\"Gone\"=-\r\n"
    "\"Huge\"=\""
    "%HUGE%"
    "\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Empty]\r\n"
    "[-HKEY_CURRENT_USER\\Deleted]\r\n";

std::string file_text() {
    std::string s = kFile;
    s.replace(s.find("%HUGE%"), 6, std::string(1561, 'h'));
    return s;
}

TEST(RegistryFile, ValuesKeysAndMarkers) {
    struct Case {
        const char* root;
        const char* key;
        const char* name;
        const char* value;
    };
    const Case cases[] = {
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Server", "ftp.example.org"},
        {"hkey_local_machine", "\\software\\ORVANE\\", "server", "ftp.example.org"},  // case and edges
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "", "default text"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Quoted", "say \"hi\" C:\\temp"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Count", "42"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Big", "4294967296"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Bytes", "ABC"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Path", "%TMP%"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Gone", "_NULL_VAL_"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Huge", "_NULL_VAL_"},  // larger than a variable
        {"HKEY_LOCAL_MACHINE", "SOFTWARE\\Orvane", "Missing", "_NULL_VAL_"},
        {"HKEY_CURRENT_USER", "Empty", "x", "_NULL_VAL_"},
        {"HKEY_CURRENT_USER", "Deleted", "x", "_NULL_KEY_"},
        {"HKLM", "SOFTWARE\\Orvane", "Server", "_NULL_KEY_"},  // abbreviated root
        {"HKEY_USERS", "SOFTWARE\\Orvane", "Server", "_NULL_KEY_"},
        {"HKEY_LOCAL_MACHINE", "SOFTWARE", "Server", "_NULL_KEY_"},
    };
    const std::string text = file_text();
    for (const Case& c : cases) {
        RegistryLookup r = registry_lookup(text, c.root, c.key, c.name);
        EXPECT_EQ(r.value, c.value) << c.root << " " << c.key << " " << c.name;
        EXPECT_TRUE(r.problems.empty()) << r.problems[0];
    }
}

TEST(RegistryFile, EncodingsAndHeaders) {
    // Windows exports UTF-16LE with a byte-order mark; REGEDIT4 files are plain bytes.
    std::string wide = "\xFF\xFE";
    const std::u16string units =
        u"Windows Registry Editor Version 5.00\r\n[HKEY_USERS\\K]\r\n\"n\"=\"\u00e9t\u00e9\"\r\n";
    for (char16_t u : units) {
        wide += static_cast<char>(u & 0xFF);
        wide += static_cast<char>(u >> 8);
    }
    EXPECT_EQ(registry_lookup(wide, "HKEY_USERS", "K", "n").value, "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(registry_lookup("\xEF\xBB\xBFREGEDIT4\n[HKEY_USERS\\K]\n\"n\"=hex(2):41,42,00\n", "HKEY_USERS",
                              "K", "n")
                  .value,
              "AB");
    RegistryLookup none = registry_lookup("[HKEY_USERS\\K]\n\"n\"=\"v\"\n", "HKEY_USERS", "K", "n");
    EXPECT_EQ(none.value, "_NULL_KEY_");
    ASSERT_EQ(none.problems.size(), 1u);
    EXPECT_NE(none.problems[0].find("not a registry file"), std::string::npos);
    EXPECT_EQ(registry_lookup("", "HKEY_USERS", "K", "n").value, "_NULL_KEY_");
}

TEST(RegistryFile, MalformedLinesArePassedOverAndNamed) {
    const std::string text =
        "REGEDIT4\n"
        "\"early\"=\"before any key\"\n"
        "[HKEY_USERS\\K]\n"
        "\"a\"=\"unclosed\n"
        "\"b\"=dword:xyz\n"
        "\"c\"=hex:4,41\n"
        "\"d\"=qword:1\n"
        "\"e\" \"no equals\"\n"
        "garbage\n"
        "[HKEY_USERS\\K\n"
        "\"f\"=\"after a broken key line\"\n"
        "[HKEY_USERS\\K]\n"
        "\"good\"=\"kept\"\n";
    RegistryLookup r = registry_lookup(text, "HKEY_USERS", "K", "good");
    EXPECT_EQ(r.value, "kept");
    const std::vector<std::string> expected = {
        "line 2: a value before any key",
        "line 4: the text has no closing quote",
        "line 5: a dword needs 1 to 8 hex digits",
        "line 6: hex data must be two-digit bytes separated by commas",
        "line 7: unknown data type",
        "line 8: a value needs \"=\" after its name",
        "line 9: not a key, a value or a comment",
        "line 10: a key line must end with \"]\"",
        "line 11: a value before any key",
    };
    EXPECT_EQ(r.problems, expected);
    EXPECT_EQ(registry_lookup(text, "HKEY_USERS", "K", "a").value, "_NULL_VAL_");
}

}  // namespace
}  // namespace orvane
