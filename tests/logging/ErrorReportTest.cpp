//===-- tests/logging/ErrorReportTest.cpp - One line per reported error ---===//
#include "logging/LogFixture.h"

namespace tmtest {
namespace {

using ErrorReportTest = LogTest;

TEST_F(ErrorReportTest, FixedWordingOfEachReportWhateverTheMask) {
    SetMask(0);
    SysError("C:\\tamarak\\src\\Utilities.cpp", 120, 255);
    FileError("D:\\queue\\x.msg", "Queue.cpp", 7, 0x20);
    SocketError("/src/net/Sock.cpp", 31, -10054);
    NewError("Registry", 88);
    UnknownError("a\\b\\c.cpp", 0);
    const char* text = "50% done, %s stays";
    void* block[4] = {const_cast<char*>(text), nullptr, nullptr, nullptr};
    LOGEVENT(block);
    DebugMsg("x.cpp", 3, "debug %d", 4);  // 0x0400 is not in the mask
    EXPECT_EQ(MainLines(), (std::vector<std::string>{
                               Line('!', "System error 0xff at line 120 of Utilities.cpp"),
                               Line('!', "File error 0x20 at line 7 of Queue.cpp processing D:\\queue\\x.msg"),
                               Line('!', "Socket error -10054 at line 31 of Sock.cpp"),
                               Line('!', "Memory allocation error at line 88 of Registry"),
                               Line('!', "Unknown exception caught at line 0 of c.cpp"),
                               Line('~', "50% done, %s stays"),
                           }));
}

TEST_F(ErrorReportTest, DebugMsgNeedsItsBitAndIsCut) {
    SetMask(0x0400);
    DebugMsg("C:\\src\\Foo.cpp", 12, "value %d, 100%% and %s", 5, "%d");
    DebugMsg("Foo.cpp", 13, "%s", std::string(600, 'y').c_str());
    EXPECT_EQ(MainLines(), (std::vector<std::string>{Line('D', "Foo.cpp:12 - value 5, 100% and %d"),
                                                     Line('D', "Foo.cpp:13 - " + std::string(511, 'y'))}));
}

}  // namespace
}  // namespace tmtest
