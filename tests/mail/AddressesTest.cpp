//===-- tests/mail/AddressesTest.cpp - Addresses and local domains --------===//
#include <algorithm>
#include <atomic>
#include <thread>

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
    // LocalDomainsEx as these bytes and type (type 0: deleted).
    static void StoreDomains(DWORD type, const std::string& bytes) {
        CRegistry reg;
        ASSERT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, 0x2001F, 0), 0);
        reg.DeleteValue("LocalDomainsEx");
        if (type != 0) {
            ASSERT_EQ(RegSetValueExA(reg.m_hKey, "LocalDomainsEx", 0, type,
                                     reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size())), 0);
        }
    }
    static void SetDomains(const std::vector<std::string>& entries) {
        std::string bytes;
        for (const std::string& e : entries) bytes += e + '\0';
        StoreDomains(REG_MULTI_SZ, bytes + '\0');
    }
    // -1 when the call changed the address.
    static int Local(std::string address) {
        const std::string before = address;
        const int result = IsLocalAddress(address.data());
        return address == before ? result : -1;
    }
};

TEST_F(AddressesTest, Stristr) {
    struct Case { const char* haystack; const char* needle; long at; };  // -1: NULL
    const Case kCases[] = {
        {"Hello", "LL", 2}, {"", "", -1}, {"ab", "", 0}, {"ab", "abc", -1}, {"xABcab", "abc", 1}, {"aaab", "AAB", 1},
    };
    for (const Case& c : kCases) {
        char* got = stristr(c.haystack, c.needle);
        EXPECT_EQ(got ? got - c.haystack : -1, c.at) << c.haystack << " / " << c.needle;
    }
}

TEST_F(AddressesTest, ParseAddressAndItsLogLine) {
    SetMask(0x3F | TM_EVENT_DEBUG);
    struct Case { std::string text, address, logged; };
    const std::string hundred(100, 'x'), long3000 = "<" + std::string(3000, 'y') + "> trailing";
    const Case kCases[] = {
        {"  Joe <j@h.d>", "j@h.d", "Joe <j@h.d>"}, {"j@h.d (Joe)", "j@h.d", "j@h.d (Joe)"},
        {"a@b, c@d", "a@b", "a@b, c@d"}, {"\t<a@b>;x", "a@b", "<a@b>;x"},
        // Folded lines go on; any other CR ends the text.
        {"j@h.d\r\n more", "j@h.d", "j@h.d\r\n more"}, {"Joe\r\n\t<j@h.d>", "j@h.d", "Joe\r\n\t<j@h.d>"},
        {"x\r\n<y@z>", "x", "x"}, {"a\r", "a", "a"}, {"a\rb <c@d>", "c@d", "a\r\tb <c@d>"},  // the log lets no text start a line
        // Cut at 80; stopped by control characters and bytes 0x80 to 0xFF.
        {hundred, std::string(80, 'x'), hundred}, {"caf\xe9@x", "caf", "caf\xe9@x"}, {"a>b", "a", "a>b"},
        {"", "", ""}, {"<>", "", "<>"},
        // The event log keeps 1023 characters of a line.
        {long3000, std::string(80, 'y'), long3000.substr(0, 1023 - 21 - 80 - 6)},
    };
    std::string expected;
    for (const Case& c : kCases) {
        std::string text = c.text;
        CString address("stale");
        ParseAddress(text.data(), address);
        EXPECT_EQ(std::string(address), c.address) << c.text;
        EXPECT_EQ(text, c.text) << "the text was changed";
        expected += MailLine('D', "Parsing address, got " + c.address + " from " + c.logged) + "\r\n";
    }
    EXPECT_EQ(MainLog(), expected);
}

TEST_F(AddressesTest, ValidityTests) {
    struct Case { const char* address; int valid, email; };
    const Case kCases[] = {
        {"joe", 1, 0}, {"\"joe\"", 0, 0}, {"joe;", 0, 0}, {"'x", 0, 0}, {"x'", 0, 0}, {"", 0, 0},
        {"a@b.c", 1, 1}, {"@x.y", 1, 1}, {"a@.", 1, 1}, {"first.last@host", 1, 0}, {"a@b.c;d", 0, 1},
    };
    std::vector<std::string> expected;
    for (const Case& c : kCases) {
        std::string copy = c.address;
        EXPECT_EQ(IsValidAddress(c.address), c.valid) << c.address;
        EXPECT_EQ(IsValidEmailAddress(copy.data()), c.email) << c.address;
        if (!c.email) expected.push_back(MailLine('I', std::string(c.address) + " not valid email address"));
    }
    EXPECT_EQ(IsValidAddress(nullptr), 0);
    EXPECT_EQ(MainLines(), expected);
}

TEST_F(AddressesTest, LocalDomains) {
    struct Case { std::vector<std::string> entries; const char* address; int local; };
    const Case kCases[] = {
        {{"*.d.e", "!m.d.e"}, "u@w.d.e", 1}, {{"*.d.e", "!m.d.e"}, "u@m.d.e", 0},
        {{"*.d.e", "!m.d.e"}, "U@W.D.E", 1}, {{"*.d.e", "!m.d.e"}, "u@d.e", 0},
        {{"d.e"}, "u@x.d.e", 0}, {{"postmaster@d.e"}, "postmaster@d.e", 1}, {{"postmaster@d.e"}, "abuse@d.e", 0},
        {{"*.d.e", "!boss@w.d.e"}, "boss@w.d.e", 0}, {{"x.y", "!"}, "u@", 0}, {{"a.b", "c.d", "[a-c].f"}, "u@b.f", 1},
    };
    for (Case c : kCases) {
        for (int order = 0; order < 2; ++order, std::reverse(c.entries.begin(), c.entries.end())) {
            SetDomains(c.entries);
            EXPECT_EQ(Local(c.address), c.local) << c.address << " with " << c.entries[0] << " first";
        }
    }
    // The value as stored.
    struct Stored { const char* what; DWORD type; std::string bytes; const char* address; int local; };
    const Stored kStored[] = {
        {"a text value is one entry", REG_SZ, std::string("d.e\0", 4), "u@d.e", 1},
        {"no final zero", REG_MULTI_SZ, std::string("x.y\0d.e", 7), "u@d.e", 1},
        {"an empty entry hides the rest", REG_MULTI_SZ, std::string("x.y\0\0d.e\0\0", 10), "u@d.e", 0},
        {"no bytes", REG_MULTI_SZ, "", "u@d.e", 0}, {"a number", REG_DWORD, std::string("*\0\0\0", 4), "u@d.e", 1},
        {"no value", 0, "", "u@d.e", 0}, {"no domain", 0, "", "postmaster", 1},
    };
    for (const Stored& c : kStored) {
        StoreDomains(c.type, c.bytes);
        EXPECT_EQ(Local(c.address), c.local) << c.what;
    }
    // A key that may only be read is read; one that may not be read at
    // all makes every domain remote, but an address without a domain
    // needs no registry.
    SetDomains({"d.e"});
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_READ), 0);
    EXPECT_EQ(Local("u@d.e"), 1);
    EXPECT_EQ(Local("u@x.y"), 0);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_WRITE), 0);
    EXPECT_EQ(Local("u@d.e"), 0);
    EXPECT_EQ(Local("postmaster"), 1);
    ASSERT_EQ(TmRegSetKeyRestriction(HKEY_LOCAL_MACHINE, TM_PARAMETERS_KEY, KEY_ALL_ACCESS | MAXIMUM_ALLOWED), 0);
    EXPECT_EQ(Local("u@d.e"), 1);
}

TEST_F(AddressesTest, NeitherWritesNorReadsPastTheCallersText) {
    // A fault would be trapped and the call fail: each case expects success.
    SetDomains({"*.d.e"});
    GuardedText text, needle;
    const std::pair<const char*, const char*> kCases[] = {{"a\r", "a"}, {"j@h.d\r\n more", "j@h.d"}, {"x\r\n", "x"}};
    for (const auto& [header, want] : kCases) {
        CString address;
        ParseAddress(text.Place(header), address);
        EXPECT_EQ(std::string(address), want) << header;
    }
    const char* hello = text.Place("Hello");
    EXPECT_EQ(stristr(hello, needle.Place("LO")), hello + 3);
    EXPECT_EQ(IsValidEmailAddress(text.Place("a@b.c")), 1);
    EXPECT_EQ(IsLocalAddress(text.Place("u@w.d.e")), 1);
}

TEST_F(AddressesTest, ThreadsAskAtOnce) {
    // Nothing is kept between calls: each thread gets the answers it would
    // get alone.
    SetMask(0x3F | TM_EVENT_DEBUG);
    SetDomains({"*.d.e", "!m.d.e"});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong, n = std::to_string(t)] {
            for (int i = 0; i < 200; ++i) {
                std::string local = "u" + n + "@w.d.e", remote = "u@m.d.e", lines = "a\r\nb" + n, header = "<j" + n + "@h>";
                char* end = nullptr;
                CString address;
                ParseAddress(header.data(), address);
                wrong += IsLocalAddress(local.data()) != 1 || IsLocalAddress(remote.data()) != 0 ||
                         WildcardMatch(lines.data(), ("_b" + n).c_str(), &end) != 1 || address != ("j" + n + "@h").c_str();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(MainLines().size(), 800u);
}

}  // namespace
}  // namespace tmtest
