//===-- tests/mail/AddressesTest.cpp - Addresses and local domains --------===//
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogFixture.h"
#include "mail/GuardedText.h"

namespace tmtest {
namespace {

class AddressesTest : public LogTest {
protected:
    // A main-log line of this program at the fixture's clock.
    static std::string MailLine(char type, const std::string& text) {
        char head[64];
        snprintf(head, sizeof head, "%-8s %c 09:08:07 0x%08x ", "test_mail", type, GetCurrentThreadId());
        return head + text;
    }

    static void SetDomains(const std::vector<std::string>& entries) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        CStringArray list;
        for (const std::string& e : entries) list.Add(e.c_str());
        ASSERT_EQ(reg.SetValue("LocalDomainsEx", list), 0);
    }
    static void StoreDomains(DWORD type, const std::string& bytes) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        ASSERT_EQ(RegSetValueExA(reg.m_hKey, "LocalDomainsEx", 0, type,
                                 reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())),
                  0);
    }
    static void DeleteDomains() {
        CRegistry reg;
        if (reg.OpenKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F) == 0) reg.DeleteValue("LocalDomainsEx");
    }
    static int Local(const std::string& address) {
        std::string copy = address;
        const int result = IsLocalAddress(copy.data());
        EXPECT_EQ(copy, address) << "the address was changed";
        return result;
    }
};

TEST_F(AddressesTest, Stristr) {
    struct Case { const char* haystack; const char* needle; long at; };  // -1: NULL
    const Case kCases[] = {
        {"Hello", "LL", 2}, {"", "", -1}, {"ab", "", 0}, {"ab", "abc", -1}, {"xABcab", "abc", 1},
        {"abc", "C", 2}, {"abc", "d", -1}, {"", "a", -1}, {"aaab", "AAB", 1}, {"ab", "B", 1},
    };
    for (const Case& c : kCases) {
        char* got = stristr(c.haystack, c.needle);
        EXPECT_EQ(got ? got - c.haystack : -1, c.at) << c.haystack << " / " << c.needle;
    }
    EXPECT_EQ(stristr(nullptr, "a"), nullptr);
    EXPECT_EQ(stristr("a", nullptr), nullptr);
}

TEST_F(AddressesTest, ParseAddressAndItsLogLine) {
    SetMask(0x3F | TM_EVENT_DEBUG);
    struct Case { std::string text; std::string address; std::string logged; };
    const std::string hundred(100, 'x');
    const Case kCases[] = {
        {"  Joe <j@h.d>", "j@h.d", "Joe <j@h.d>"},
        {"Joe Bloggs <j@h.d>", "j@h.d", "Joe Bloggs <j@h.d>"},
        {"j@h.d (Joe)", "j@h.d", "j@h.d (Joe)"},
        {"a@b, c@d", "a@b", "a@b, c@d"},
        {"\t<a@b>;x", "a@b", "<a@b>;x"},
        // Folded lines go on; any other CR ends the text.
        {"j@h.d\r\n more", "j@h.d", "j@h.d\r\n more"},
        {"Joe\r\n\t<j@h.d>", "j@h.d", "Joe\r\n\t<j@h.d>"},
        {"x\r\n<y@z>", "x", "x"},
        {"a\r", "a", "a"},
        {"a\rb <c@d>", "c@d", "a\rb <c@d>"},
        // Cut at 80; stopped by control characters and bytes 0x80 to 0xFF.
        {hundred, std::string(80, 'x'), hundred},
        {"<" + hundred + ">", std::string(80, 'x'), "<" + hundred + ">"},
        {"caf\xe9@x", "caf", "caf\xe9@x"},
        {"a;b", "a", "a;b"},
        {"a>b", "a", "a>b"},
        {"", "", ""},
        {"<>", "", "<>"},
    };
    std::vector<std::string> expected;
    for (const Case& c : kCases) {
        std::string text = c.text;
        CString address("stale");
        ParseAddress(text.data(), address);
        EXPECT_EQ(std::string(address), c.address) << c.text;
        EXPECT_EQ(text, c.text) << "the text was changed";
        expected.push_back(MailLine('D', "Parsing address, got " + c.address + " from " + c.logged));
    }
    // The log lines hold the texts' CR LF as they are; compare the whole log.
    std::string all;
    for (const std::string& line : expected) all += line + "\r\n";
    EXPECT_EQ(MainLog(), all);
}

TEST_F(AddressesTest, ParseAddressLogsWhatTheEventLogKeeps) {
    SetMask(TM_EVENT_DEBUG);
    std::string text = "<" + std::string(3000, 'y') + "> trailing";
    CString address;
    ParseAddress(text.data(), address);
    const std::string full = "Parsing address, got " + std::string(80, 'y') + " from " + text;
    EXPECT_EQ(MainLines(), std::vector<std::string>{MailLine('D', full.substr(0, 1023))});
}

TEST_F(AddressesTest, ValidityTests) {
    struct Case { const char* address; int valid; int email; };
    const Case kCases[] = {
        {"joe", 1, 0}, {"\"joe\"", 0, 0}, {"joe;", 0, 0}, {"'x", 0, 0}, {"x'", 0, 0},
        {"\"", 0, 0}, {"", 0, 0}, {"a@b.c", 1, 1}, {"@x.y", 1, 1}, {"a@.", 1, 1},
        {"user@host", 1, 0}, {"first.last@host", 1, 0}, {"a@b.c;d", 0, 1},
    };
    std::vector<std::string> expected;
    for (const Case& c : kCases) {
        std::string copy = c.address;
        EXPECT_EQ(IsValidAddress(c.address), c.valid) << c.address;
        EXPECT_EQ(IsValidEmailAddress(copy.data()), c.email) << c.address;
        if (!c.email) expected.push_back(MailLine('I', std::string(c.address) + " not valid email address"));
    }
    EXPECT_EQ(IsValidAddress(nullptr), 0);
    EXPECT_EQ(IsValidEmailAddress(nullptr), 0);
    EXPECT_EQ(MainLines(), expected);
}

TEST_F(AddressesTest, LocalDomainsWhateverTheirOrder) {
    struct Case { std::vector<std::string> entries; const char* address; int local; };
    const Case kCases[] = {
        {{"*.d.e", "!m.d.e"}, "u@w.d.e", 1},
        {{"*.d.e", "!m.d.e"}, "u@m.d.e", 0},
        {{"*.d.e", "!m.d.e"}, "U@W.D.E", 1},
        {{"*.d.e", "!m.d.e"}, "u@d.e", 0},
        {{"d.e"}, "u@d.e", 1},
        {{"d.e"}, "u@x.d.e", 0},
        {{"postmaster@d.e"}, "postmaster@d.e", 1},
        {{"postmaster@d.e"}, "abuse@d.e", 0},
        {{"*.d.e", "!boss@w.d.e"}, "boss@w.d.e", 0},
        {{"*.d.e", "!boss@w.d.e"}, "clerk@w.d.e", 1},
        {{"*"}, "u@", 1},
        {{"x.y", "!"}, "u@", 0},
        {{"[a-c].d"}, "u@b.d", 1},
        {{"a.b", "c.d", "e.f"}, "u@C.D", 1},
    };
    for (const Case& c : kCases) {
        std::vector<std::string> entries = c.entries;
        SetDomains(entries);
        EXPECT_EQ(Local(c.address), c.local) << c.address << " with " << entries[0];
        std::reverse(entries.begin(), entries.end());
        SetDomains(entries);
        EXPECT_EQ(Local(c.address), c.local) << c.address << " with " << entries[0] << " first";
    }
}

TEST_F(AddressesTest, LocalDomainsAsStored) {
    struct Case { const char* what; DWORD type; std::string bytes; const char* address; int local; };
    const Case kCases[] = {
        {"a text value is one entry", REG_SZ, std::string("d.e\0", 4), "u@d.e", 1},
        {"no final zero", REG_MULTI_SZ, std::string("x.y\0d.e", 7), "u@d.e", 1},
        {"no zero at all", REG_MULTI_SZ, "d.e", "u@d.e", 1},
        {"an empty entry hides the rest", REG_MULTI_SZ, std::string("x.y\0\0d.e\0\0", 10), "u@d.e", 0},
        {"an empty list", REG_MULTI_SZ, std::string("\0\0", 2), "u@d.e", 0},
        {"no bytes", REG_MULTI_SZ, "", "u@d.e", 0},
        {"a number", REG_DWORD, std::string("*\0\0\0", 4), "u@d.e", 1},
    };
    for (const Case& c : kCases) {
        StoreDomains(c.type, c.bytes);
        EXPECT_EQ(Local(c.address), c.local) << c.what;
    }
    DeleteDomains();
    EXPECT_EQ(Local("u@d.e"), 0) << "no value";
    EXPECT_EQ(Local("postmaster"), 1) << "no domain";
}

TEST_F(AddressesTest, AnAddressWithoutDomainNeedsNoRegistry) {
    SetDomains({"d.e"});
    CRegistry reg;
    ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
    reg.CloseKey();
    // The key may now be read, not written: the parameters key cannot be
    // opened the way the test opens it.
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
    EXPECT_EQ(Local("u@d.e"), 0);
    EXPECT_EQ(Local("postmaster"), 1);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    EXPECT_EQ(Local("u@d.e"), 1);
}

TEST_F(AddressesTest, NeitherWritesNorReadsPastTheCallersText) {
    SetDomains({"*.d.e"});
    GuardedText text, needle;
    CString address;
    struct Case { const char* text; const char* address; };
    const Case kCases[] = {{"a\r", "a"}, {"Joe <j@h.d>", "j@h.d"}, {"j@h.d\r\n more", "j@h.d"}, {"x\r\n", "x"}};
    for (const Case& c : kCases) {
        ParseAddress(text.Place(c.text), address);
        EXPECT_EQ(std::string(address), c.address) << c.text;
    }
    const char* hello = text.Place("Hello");
    EXPECT_EQ(stristr(hello, needle.Place("LO")), hello + 3);
    EXPECT_EQ(IsValidEmailAddress(text.Place("a@b.c")), 1);
    EXPECT_EQ(IsLocalAddress(text.Place("u@w.d.e")), 1);
    EXPECT_EQ(IsValidAddress(text.Place("joe")), 1);
}

TEST_F(AddressesTest, ThreadsAskAtOnce) {
    // The functions keep no state between calls: threads of one process
    // get the answers they would get alone.
    SetMask(0x3F | TM_EVENT_DEBUG);
    SetDomains({"*.d.e", "!m.d.e"});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 200; ++i) {
                std::string local = "u" + std::to_string(t) + "@w.d.e", remote = "u@m.d.e";
                std::string lines = "a\r\nb" + std::to_string(t) + "\r\nc";
                std::string header = "Joe <j" + std::to_string(t) + "@h.d>";
                char* end = nullptr;
                CString address;
                ParseAddress(header.data(), address);
                if (IsLocalAddress(local.data()) != 1 || IsLocalAddress(remote.data()) != 0 ||
                    WildcardMatch(lines.data(), ("_b" + std::to_string(t)).c_str(), &end) != 1 ||
                    address != ("j" + std::to_string(t) + "@h.d").c_str())
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(MainLines().size(), 800u);
}

}  // namespace
}  // namespace tmtest
