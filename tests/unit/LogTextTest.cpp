// Client text on its way into the log: escaped, checked as UTF-8, cut.
#include "res/LogText.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

const std::string kEllipsis = "\xE2\x80\xA6";

// True when no byte below 0x20 (nor DEL) is left in the text.
bool HasNoControlByte(const std::string& strText) {
    for (const char ch : strText)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            return false;
    return true;
}

} // namespace

TEST(LogText, ControlBytesAreShownAsHexEscapes) {
    EXPECT_EQ(LogSafe("a\0b"s), "a\\x00b");
    EXPECT_EQ(LogSafe("\x1B[2J\x1B]0;x\x07"), "\\x1B[2J\\x1B]0;x\\x07");
    // Line ends inside client text cannot start a line of their own.
    EXPECT_EQ(LogSafe("USER x\r\nInicio de sesi\xC3\xB3n fallido"),
              "USER x\\x0D\\x0AInicio de sesi\xC3\xB3n fallido");
    EXPECT_EQ(LogSafe("tab\there\x7F"), "tab\\x09here\\x7F");
    // The C1 controls written as UTF-8 (U+0085, U+009B) are controls too.
    EXPECT_EQ(LogSafe("a\xC2\x85z\xC2\x9B"), "a\\xC2\\x85z\\xC2\\x9B");
    EXPECT_EQ(LogSafe("C:\\dir\\x0A"), "C:\\dir\\x0A");
}

TEST(LogText, ValidUtf8StaysAndEveryOtherByteIsEscaped) {
    // Two, three and four bytes, and the first character past the C1 block.
    const std::string strValid = "sesi\xC3\xB3n \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0";
    EXPECT_EQ(LogSafe(strValid), strValid);
    // Latin-1, a stray continuation byte, a lead byte without its rest.
    EXPECT_EQ(LogSafe("sesi\xF3n"), "sesi\\xF3n");
    EXPECT_EQ(LogSafe("\x80x"), "\\x80x");
    EXPECT_EQ(LogSafe("\xE2\x82"), "\\xE2\\x82");
    // Overlong forms (a hidden "/" or NUL), a surrogate, beyond U+10FFFF.
    EXPECT_EQ(LogSafe("\xC0\xAF"), "\\xC0\\xAF");
    EXPECT_EQ(LogSafe("\xE0\x80\x80"), "\\xE0\\x80\\x80");
    EXPECT_EQ(LogSafe("\xED\xA0\x80"), "\\xED\\xA0\\x80");
    EXPECT_EQ(LogSafe("\xF4\x90\x80\x80"), "\\xF4\\x90\\x80\\x80");
    EXPECT_EQ(LogSafe("\xFF"), "\\xFF");
}

TEST(LogText, LongTextIsCutOnACharacterBoundaryWithAnEllipsis) {
    EXPECT_EQ(LogSafe(std::string(1024, 'a')), std::string(1024, 'a'));
    EXPECT_EQ(LogSafe(std::string(1025, 'a')), std::string(1024, 'a') + kEllipsis);

    const std::string strHuge = LogSafe(std::string(100 * 1024, 'x'));
    EXPECT_EQ(strHuge, std::string(1024, 'x') + kEllipsis);

    // "ó" is two bytes: 1,023 bytes of "a" leave no room for it.
    EXPECT_EQ(LogSafe(std::string(1023, 'a') + "\xC3\xB3"), std::string(1023, 'a') + kEllipsis);
    // Nor is an escape ever cut in the middle.
    EXPECT_EQ(LogSafe(std::string(1022, 'a') + "\x1B"), std::string(1022, 'a') + kEllipsis);
    const std::string strEscapes = LogSafe(std::string(100 * 1024, '\x1B'));
    EXPECT_EQ(strEscapes.size(), 1024 - 1024 % 4 + kEllipsis.size());
    EXPECT_EQ(strEscapes.substr(strEscapes.size() - 7), "\\x1B" + kEllipsis);

    EXPECT_EQ(LogSafe("abcdef", 3), "abc" + kEllipsis);
}

TEST(LogText, LineSeparatorsAndDirectionControlsAreShown) {
    // U+2028 and U+2029 break a line in some viewers; U+202E reverses what
    // follows it on a terminal.
    EXPECT_EQ(LogSafe("a\xE2\x80\xA8"
                      "b\xE2\x80\xA9"
                      "c"),
              "a\\xE2\\x80\\xA8b\\xE2\\x80\\xA9c");
    EXPECT_EQ(LogSafe("x\xE2\x80\xAEtxt.exe"), "x\\xE2\\x80\\xAEtxt.exe");
    EXPECT_EQ(LogSafe("\xE2\x81\xA6"
                      "a"
                      "\xE2\x81\xA9"),
              "\\xE2\\x81\\xA6a\\xE2\\x81\\xA9");
    // Other characters of the same block stay.
    EXPECT_EQ(LogSafe("1\xE2\x80\x93"
                      "2 \xE2\x80\xA6"),
              "1\xE2\x80\x93"
              "2 \xE2\x80\xA6");
}

TEST(LogText, ALineKeepsOnlyItsFinalLineEnd) {
    EXPECT_EQ(LogSafeLine("USER ana\r\n"), "USER ana\r\n");
    EXPECT_EQ(LogSafeLine("USER ana\n"), "USER ana\n");
    // A lone CR ends the client's line; the log's line ends too, so that
    // the server's next line (a failed login) still starts a line.
    EXPECT_EQ(LogSafeLine("USER ana\r"), "USER ana\r\n");
    EXPECT_EQ(LogSafeLine("USER ana"), "USER ana\r\n");
    EXPECT_EQ(LogSafeLine("PASS x\r") + "Inicio", "PASS x\r\nInicio");
    // A client's line with a forged line of its own, NUL and ESC inside.
    const std::string strForged =
        "NOOP\r\n\r\nInicio de sesi\xC3\xB3n fallido de 192.0.2.99 (usuario x)\0\x1B[1A\r\n"s;
    const std::string strLogged = LogSafeLine(strForged);
    EXPECT_EQ(strLogged, "NOOP\\x0D\\x0A\\x0D\\x0AInicio de sesi\xC3\xB3n fallido de 192.0.2.99 "
                         "(usuario x)\\x00\\x1B[1A\r\n");
    EXPECT_TRUE(HasNoControlByte(strLogged.substr(0, strLogged.size() - 2)));
    // The cut leaves the line end in place.
    EXPECT_EQ(LogSafeLine(std::string(100 * 1024, 'x') + "\r\n"),
              std::string(1024, 'x') + kEllipsis + "\r\n");
}

TEST(LogText, AReplyKeepsItsOwnLineEndsAndEscapesTheRest) {
    EXPECT_EQ(LogSafeLines("211-Features:\r\n SIZE\r\n211 End\r\n"),
              "211-Features:\r\n SIZE\r\n211 End\r\n");
    EXPECT_EQ(LogSafeLines("500 'X\x1B[2J': command not understood\r\n"),
              "500 'X\\x1B[2J': command not understood\r\n");
    EXPECT_EQ(LogSafeLines("550 \"/a\rb\"\r\n"), "550 \"/a\\x0Db\"\r\n");
    // Each line is cut by itself.
    EXPECT_EQ(LogSafeLines(std::string(2000, 'a') + "\r\nb\r\n"),
              std::string(1024, 'a') + kEllipsis + "\r\nb\r\n");
    EXPECT_EQ(LogSafeLines(""), "");
}
