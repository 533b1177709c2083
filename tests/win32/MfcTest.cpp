//===-- tests/win32/MfcTest.cpp - CString and CStringArray ----------------===//
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "tmwin32.h"

namespace {

TEST(CStringTest, BufferAccessKeepsTextAndSetsLength) {
    CString s("abc");
    char* p = s.GetBuffer(10);
    EXPECT_STREQ(p, "abc");  // GetBuffer keeps the text
    memcpy(p, "hello\0wor", 9);
    s.ReleaseBuffer(8);  // an explicit length may take in zero bytes
    EXPECT_EQ(s.GetLength(), 8);
    EXPECT_EQ(memcmp(static_cast<const char*>(s), "hello\0wo", 9), 0);
    s.ReleaseBuffer();  // -1: up to the first zero
    EXPECT_EQ(s.GetLength(), 5);
    CString none;
    EXPECT_STREQ(none.GetBuffer(0), "");  // an empty buffer is still a buffer
    // A length beyond the buffer is clamped to it, never past it.
    CString t;
    t.GetBuffer(4);
    t.ReleaseBuffer(1000);
    EXPECT_LE(t.GetLength(), 1000);
    EXPECT_EQ(static_cast<const char*>(t)[t.GetLength()], '\0');
}

TEST(CStringTest, AssignmentsFromOwnTextAreSafe) {
    CString s("abcdef");
    s = s.Mid(2);
    EXPECT_STREQ(s, "cdef");
    s += s;
    EXPECT_STREQ(s, "cdefcdef");
    s = static_cast<const char*>(s) + 4;
    EXPECT_STREQ(s, "cdef");
}

TEST(CStringTest, EdgesOfSearchesAndSlices) {
    for (auto [text, span] : {std::pair{"one two", "one"}, {"", ""}, {" x", ""}, {"xyz", "xyz"}}) {
        EXPECT_STREQ(CString(text).SpanExcluding(" \t"), span) << text;
    }
    CString s("Hello, World");
    for (auto [ch, start, at] : {std::tuple{'H', 0, 0}, {'o', 5, 8}, {'o', 9, -1}, {'H', -1, -1}, {'d', 11, 11}, {'d', 12, -1}}) {
        EXPECT_EQ(s.Find(ch, start), at) << ch << " from " << start;
    }
    EXPECT_EQ(s.ReverseFind('l'), 10);
    EXPECT_STREQ(s.Mid(20), "");
    EXPECT_EQ(s.CompareNoCase("hello, world"), 0);
    CString cased("Mixed 1@[z");
    cased.MakeUpper();
    EXPECT_STREQ(cased, "MIXED 1@[Z");
    cased.MakeLower();
    EXPECT_STREQ(cased, "mixed 1@[z");
    EXPECT_THROW(s.GetAt(12), std::out_of_range);
    CString empty;
    EXPECT_STREQ(empty, "");  // never a null pointer
    empty.Format("%d-%s", 7, "z");
    EXPECT_STREQ(empty, "7-z");
}

TEST(CStringArrayTest, GrowsShrinksAndInserts) {
    CStringArray a;
    a.SetAtGrow(2, "c");
    a.InsertAt(0, "first");
    a.Add("last");
    ASSERT_EQ(a.GetSize(), 5);
    EXPECT_STREQ(a[1], "");
    EXPECT_STREQ(a[3], "c");
    a.RemoveAt(1, 2);
    ASSERT_EQ(a.GetSize(), 3);
    EXPECT_STREQ(a[1], "c");
    EXPECT_STREQ(a[2], "last");
    for (int i = 0; i < 1000; ++i) a.Add(a[0]);  // adds an element of itself while growing
    EXPECT_STREQ(a[1002], "first");
    CStringArray copy(a);
    a.SetSize(0, -1);
    EXPECT_EQ(copy.GetSize(), 1003);
    EXPECT_THROW(a.GetAt(0), std::out_of_range);
}

}  // namespace
