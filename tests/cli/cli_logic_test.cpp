#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli/cli_args.h"
#include "tools/cli/frame_notes.h"
#include "tools/cli/host_array.h"
#include "tools/cli/point_address.h"
#include "tools/cli/port_line.h"
#include "tools/cli/reply_trace.h"
#include "tools/cli/scan_list.h"
#include "tools/cli/text_encoding.h"
#include "tools/cli/values.h"
#include "zortw/line_time.h"

namespace tiway {
namespace {

// The statuses' meanings are the host library's; tiway words them with it.
using zortw_host::StatusMeaning;
using zortw_host::Step;

// ---- address text: the driver's rules, and the rule the CLI names ---------

struct AddressCase {
  const char* text;
  int32_t hostType;
  bool block;
  int32_t count;           // as the driver receives it
  const char* reasonPart;  // nullptr: accepted
};

TEST(CheckAddress, AcceptsAndRefusesLikeTheDriverAndNamesTheRule) {
  const AddressCase cases[] = {
      {"01V0010", 0, false, 1, nullptr},
      {"0av00ff", 1, false, 1, nullptr},
      {"01V0001A", 6, false, 1, nullptr},
      {"01V0001", 6, false, 1, "bit digit"},
      {"01V0001A", 0, false, 1, "takes no bit digit"},
      {"01V0001", 3, false, 1, "host data type 3"},
      {"02X001F", 6, false, 1, nullptr},
      {"02c0100", 6, false, 1, nullptr},
      {"02X001F", 0, false, 1, "need host data type 6"},
      {"02Y00010", 6, false, 1, "discretes (X, Y, C) take no bit digit"},
      {"00V0001", 0, false, 1, "station 00 is outside 01..FE"},
      {"FEV0001", 0, false, 1, nullptr},
      {"FFV0001", 0, false, 1, "station FF is outside"},
      {"01V0000", 0, false, 1, "element address 0000"},
      {"01Z0001", 0, false, 1, "type letter (character 3)"},
      {"01V001", 0, false, 1, "6 characters"},
      {"01V00010", 0, false, 1, "takes no bit digit"},
      {"01V0001G", 6, false, 1, "bit digit (character 8)"},
      {"01V0001 ", 0, false, 1, "found a blank"},
      {"", 0, false, 1, "empty"},
      {"01V0001", 7, false, 1, "host data type 7"},
      {"0GV0001", 0, false, 1, "station (characters 1-2)"},
      {"01V00G1", 0, false, 1, "element address (characters 4-7)"},
      {"01V0001234", 0, false, 1, "10 characters"},
      {"01F0010", 0, false, 2, nullptr},
      {"01F0010", 6, false, 2, nullptr},
      {"01F0011", 0, false, 2, "even element address"},
      {"01F00100", 0, false, 2, "F point takes no bit digit"},
      {"01F0010", 7, false, 2, "host data type 7"},
      // CheckBlock: relaxed host data types, then the size limit.
      {"01V0001", 6, true, 62, nullptr},
      {"01V0001", 6, true, 63, "at most 62 V words"},
      {"01V0001A", 6, true, 1, "block of V words takes no bit digit"},
      {"02X0001", 0, true, 124, nullptr},
      {"02X0001", 0, true, 125, "at most 124 discretes"},
      {"01V0001", 7, true, 1, "host data type 7"},
      {"01V0001", 4, true, 0, nullptr},
      {"01F0010", 0, true, 62, nullptr},
      {"01F0010", 0, true, 64, "at most 31 F values"},
  };
  for (const AddressCase& c : cases) {
    CheckedPoint checked;
    const Problem problem = CheckAddress(c.text, c.hostType, c.block, c.count, checked);
    SCOPED_TRACE(std::string("text '") + c.text + "' host type " + std::to_string(c.hostType));
    if (c.reasonPart == nullptr) {
      EXPECT_EQ(problem, std::nullopt);
    } else {
      ASSERT_NE(problem, std::nullopt);
      EXPECT_NE(problem->find(c.reasonPart), std::string::npos) << *problem;
    }
  }
}

TEST(CheckAddress, ProducesThePointTheDriverReturns) {
  CheckedPoint word;
  ASSERT_EQ(CheckAddress("01v0010", 0, false, 1, word), std::nullopt);
  EXPECT_EQ(word.address.station, 1);
  EXPECT_EQ(word.address.typeLetter, 'V');
  EXPECT_EQ(word.address.elementAddress, 0x10u);
  EXPECT_EQ(word.address.bitNumber, 255);
  EXPECT_EQ(word.address.bitsPerElement, 16);
  EXPECT_EQ(word.kind, PointKind::VWord);

  CheckedPoint discrete;
  ASSERT_EQ(CheckAddress("02X001F", 6, false, 1, discrete), std::nullopt);
  EXPECT_EQ(discrete.address.bitNumber, 15);
  EXPECT_EQ(discrete.address.bitsPerElement, 1);
  EXPECT_EQ(discrete.kind, PointKind::Discrete);

  CheckedPoint bit;
  ASSERT_EQ(CheckAddress("01V0001A", 6, false, 1, bit), std::nullopt);
  EXPECT_EQ(bit.address.bitNumber, 10);
  EXPECT_EQ(bit.address.bitsPerElement, 1);
  EXPECT_EQ(bit.kind, PointKind::VBit);

  CheckedPoint f;
  ASSERT_EQ(CheckAddress("01F0010", 0, false, 2, f), std::nullopt);
  EXPECT_EQ(f.address.bitsPerElement, 32);
  EXPECT_EQ(f.address.bitNumber, 255);
  EXPECT_EQ(f.kind, PointKind::FValue);
}

TEST(CheckAddress, UpperCasesBytesTheDriverWay) {
  // 0x80 and up lose 0x20 in the driver and never become valid characters;
  // the message shows the byte the user typed.
  CheckedPoint checked;
  const Problem problem = CheckAddress(
      "01V00\xC1"
      "1",
      0, false, 1, checked);
  ASSERT_NE(problem, std::nullopt);
  EXPECT_NE(problem->find("byte 0xC1"), std::string::npos) << *problem;
}

TEST(DefaultHostType, SixForDiscretesAndSingleBitsZeroOtherwise) {
  EXPECT_EQ(DefaultHostType("05V0064"), 0);
  EXPECT_EQ(DefaultHostType("05v0064a"), 6);
  EXPECT_EQ(DefaultHostType("02X0001"), 6);
  EXPECT_EQ(DefaultHostType("02c0001"), 6);
  EXPECT_EQ(DefaultHostType("01F0010"), 0);
  EXPECT_EQ(DefaultHostType(""), 0);
}

// ---- placement in the host's array ------------------------------------------

ZorPointAddress Point(char letter, uint32_t element, int32_t bit, int32_t bits) {
  return ZorPointAddress{5, letter, element, bit, bits};
}

TEST(Placement, ReadValuesComeFromWhereTheDriverStoresThem) {
  std::vector<uint16_t> data = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
  EXPECT_EQ(ValuesFromReadArray(Point('V', 1, 255, 16), 1, data), (std::vector<uint32_t>{11}));
  EXPECT_EQ(ValuesFromReadArray(Point('V', 1, 255, 16), 3, data),
            (std::vector<uint32_t>{10, 11, 12}));
  EXPECT_EQ(ValuesFromReadArray(Point('V', 1, 3, 1), 2, data), (std::vector<uint32_t>{11, 12}));
  EXPECT_EQ(ValuesFromReadArray(Point('X', 1, 1, 1), 3, data), (std::vector<uint32_t>{11, 13, 15}));
  // F: value j has its high word in data[4j+1], its low word in data[4j].
  EXPECT_EQ(ValuesFromReadArray(Point('F', 2, 255, 32), 4, data),
            (std::vector<uint32_t>{0x000B000A, 0x000F000E}));
  EXPECT_TRUE(ValuesFromReadArray(Point('V', 1, 255, 16), 0, data).empty());
  // The array the CLI allocates covers every layout.
  for (int32_t n : {1, 2, 3, 62, 124}) {
    EXPECT_GE(ArrayWords(n), static_cast<size_t>(2 * n));  // discretes: data[2k+1]
    EXPECT_GE(ArrayWords(n), static_cast<size_t>(n + 1));
  }
}

TEST(Placement, WriteValuesGoWhereTheDriverTakesThem) {
  EXPECT_EQ(WriteArrayFromValues(Point('V', 1, 255, 16), {0x1234, 0x5678}),
            (std::vector<uint16_t>{0, 0x1234, 0x5678, 0, 0, 0}));
  EXPECT_EQ(WriteArrayFromValues(Point('V', 1, 3, 1), {1}), (std::vector<uint16_t>{0, 1, 0, 0}));
  EXPECT_EQ(WriteArrayFromValues(Point('C', 1, 1, 1), {1, 0, 1}),
            (std::vector<uint16_t>{0, 1, 0, 1, 0, 0, 0, 0}));
  // F value j: low word data[2j], high word data[2j+1].
  std::vector<uint16_t> f = WriteArrayFromValues(Point('F', 2, 255, 32), {0x12345678, 0x9ABCDEF0});
  ASSERT_GE(f.size(), 4u);
  EXPECT_EQ(f[0], 0x5678);
  EXPECT_EQ(f[1], 0x1234);
  EXPECT_EQ(f[2], 0xDEF0);
  EXPECT_EQ(f[3], 0x9ABC);
}

TEST(Placement, ElementTextsStepByElement) {
  EXPECT_EQ(ElementText(Point('V', 0x64, 255, 16), 1), "05V0065");
  EXPECT_EQ(ElementText(Point('F', 0x10, 255, 32), 1), "05F0012");
  EXPECT_EQ(ElementText(Point('V', 0x64, 10, 1), 0), "05V0064A");
  EXPECT_EQ(ElementText(Point('X', 0xFFFF, 15, 1), 0), "05XFFFF");
}

// ---- values -----------------------------------------------------------------

// One table per point kind: integers, floats, hex, ranges, overflow, NaN.
// Each value gives "= BITS" (in the host's array), "= raw BITS" (given as
// bits), with the note on rounding after a comma, or the refusal's words.
struct ValueCase {
  const char* text;
  const char* gives;
};

void CheckValues(PointKind kind, ValueRules rules, std::initializer_list<ValueCase> cases) {
  for (const auto& [text, gives] : cases) {
    ParsedValue v;
    const std::optional<std::string> problem = ParseValue(kind, text, v, rules);
    char bits[32];
    std::snprintf(bits, sizeof bits, "= %s0x%08X", v.rawBits ? "raw " : "", v.bits);
    const std::string got = problem ? *problem : bits + (v.note.empty() ? "" : ", " + v.note);
    EXPECT_NE(got.find(gives), std::string::npos) << "'" << text << "' gives " << got;
  }
}

TEST(Values, AVWordTakesWholeNumbersWithinSixteenBits) {
  const char* range = "a V word takes a whole number 0..65535, -32768..-1 or 0x0000..0xFFFF";
  CheckValues(PointKind::VWord, {},
              {{"42", "= 0x0000002A"},
               {"65535", "= 0x0000FFFF"},
               {"-1", "= 0x0000FFFF"},
               {"-32768", "= 0x00008000"},
               {"0x2A", "= 0x0000002A"},
               {"65536", range},
               {"-32769", range},
               {"0x10000", range},
               {"99999999999999999999999", range},
               {"1.5", range},
               {"nan", "given 'nan'"},
               {"", "given ''"}});
}

TEST(Values, BitsAndDiscretesTakeZeroOrOne) {
  for (PointKind kind : {PointKind::VBit, PointKind::Discrete}) {
    CheckValues(kind, {},
                {{"0", "= 0x00000000"},
                 {"1", "= 0x00000001"},
                 {"0x1", "= 0x00000001"},
                 {"2", "a bit takes 0 or 1"},
                 {"1.0", "0 or 1"},
                 {"nan", "0 or 1"},
                 {"18446744073709551617", "0 or 1"}});
  }
}

TEST(Values, AnFValueIsTheNumberTypedAndItsBitsOnlyInHex) {
  const char* range = "a 32-bit float holds magnitudes up to 3.40282347e+38 and down to";
  CheckValues(PointKind::FValue, {},
              {// Whole numbers and floats are numbers: 10 writes 10.0.
               {"10", "= 0x41200000"},
               {"-1", "= 0xBF800000"},
               {"+2", "= 0x40000000"},
               {"16777217",
                "= 0x4B800000, 16777217 is not exactly a 32-bit float: written as "
                "16777216"},
               {"1.5", "= 0x3FC00000"},
               {"-2e3", "= 0xC4FA0000"},
               {"3.4028235e38", "= 0x7F7FFFFF"},
               {"1e-40", "= 0x000116C2"},
               // Hex is the 32 bits, and says so.
               {"0xA", "= raw 0x0000000A"},
               {"0x100000000", "raw bits of an F value take 0x0..0xFFFFFFFF"},
               // Out of range: refused with the range, never infinity or 0.
               {"1e40", range},
               {"1e999", range},
               {"1e-50", "is too small for a 32-bit float"},
               // NaN and infinity only when asked for.
               {"nan", "NaN is written only when asked for: add --allow-nan-inf"},
               {"-Infinity", "infinity is written only when asked for"},
               {"0x1p3", "given '0x1p3'"},
               {"1.5f", "an F value takes a number"},
               {".", "takes a number"}});
  CheckValues(PointKind::FValue, {false, true},
              {{"nan", "= 0x7FC00000"},
               {"inf", "= 0x7F800000"},
               {"-inf", "= 0xFF800000"},
               {"1e40", range}});
  CheckValues(PointKind::FValue, {true, false},
              {{"10", "= raw 0x0000000A"},
               {"-1", "= raw 0xFFFFFFFF"},
               {"4294967296", "with --raw-bits"},
               {"1.5", "with --raw-bits an F value is its 32 bits"}});
}

TEST(Values, FormattedInDecimalAndHexOrAsBits) {
  EXPECT_EQ(FormatValue(PointKind::VWord, 42), "42  0x002A");
  EXPECT_EQ(FormatValue(PointKind::VWord, 0xFFFF), "65535  0xFFFF  (-1)");
  EXPECT_EQ(FormatValue(PointKind::VBit, 1), "1");
  EXPECT_EQ(FormatValue(PointKind::Discrete, 0), "0");
  EXPECT_EQ(FormatValue(PointKind::FValue, 0x12345678), "305419896  0x12345678");
}

TEST(Values, ABitDigitAfterAFourDigitDecimalElementIsWarnedOf) {
  EXPECT_EQ(BitDigitWarning("05V10000").rfind("05V10000 is bit 0 of the V word 1000", 0), 0u);
  EXPECT_NE(BitDigitWarning("05V12345").find("for the word write 05V1234"), std::string::npos);
  for (const char* bit : {"05V00641", "05V1000A", "05V0064"}) EXPECT_EQ(BitDigitWarning(bit), "");
}

TEST(LineTime, AFailedTransferWhoseFramesFillTheTimeOutNamesTimeout) {
  const ZorLineSettings slow{600, 7, 0, 1};
  EXPECT_EQ(LineCharacterBits(ZorLineSettings{9600, 8, 1, 2}), 12);  // 1.5 stop bits count as two
  const std::string read4 = ":001E01050006200100040064DE6E;";        // 30 characters
  EXPECT_EQ(ReplyChars(read4), 22 + 16);
  EXPECT_EQ(ReplyChars(":001E01050006300100641234BC3E;"), 22);  // a write
  // 68 characters at 600 baud: 1.13 s.
  EXPECT_NE(LineTimeAdvice(read4, slow, 1000)
                .find("take 1.13 s on the line at 600 baud, longer than the reply time-out of "
                      "1.00 s: if the time-out ended the exchange, a longer one gives them room: "
                      "--timeout 400"),
            std::string::npos);
  EXPECT_NE(LineTimeAdvice(read4, slow, 2000).find("a large part of"), std::string::npos);
  EXPECT_EQ(LineTimeAdvice(read4, slow, 3000), "");
  EXPECT_EQ(LineTimeAdvice(read4, ZorLineSettings{19200, 7, 0, 1}, 1000), "");
}

// ---- statuses -------------------------------------------------------------------

TEST(StatusMeaning, DependsOnTheStepThatReturnedIt) {
  EXPECT_NE(StatusMeaning(2, Step::ColdStart).find("could not be opened"), std::string::npos);
  EXPECT_NE(StatusMeaning(2, Step::Block).find("message code 00"), std::string::npos);
  EXPECT_NE(StatusMeaning(1, Step::Block).find("not active"), std::string::npos);
  EXPECT_NE(StatusMeaning(1, Step::Define).find("refused"), std::string::npos);
  EXPECT_NE(StatusMeaning(7, Step::Adapter).find("no reply"), std::string::npos);
  EXPECT_NE(StatusMeaning(255, Step::Adapter).find("incomplete reply"), std::string::npos);
  EXPECT_NE(StatusMeaning(65535, Step::Block).find("invalid reply"), std::string::npos);
  for (Step step : {Step::ColdStart, Step::Define, Step::Block, Step::Stop, Step::Adapter}) {
    for (int32_t status : {255, 65535}) {  // no internal names in what the user reads
      EXPECT_EQ(StatusMeaning(status, step).find("Reply"), std::string::npos);
    }
  }
  EXPECT_NE(StatusMeaning(-1, Step::Block).find("no command"), std::string::npos);
  // A block transfer turns every line failure into 2: any other value is
  // the controller's primitive error code.
  EXPECT_NE(StatusMeaning(258, Step::Block).find("code 0102: the station exists but is not"),
            std::string::npos);
  EXPECT_NE(StatusMeaning(257, Step::Block).find("code 0101: no such station"), std::string::npos);
  EXPECT_NE(StatusMeaning(7, Step::Block).find("code 0007 (not a documented code)"),
            std::string::npos);
  EXPECT_NE(StatusMeaning(7, Step::Adapter).find("check cable, port, adapter power"),
            std::string::npos);
}

// ---- frames ------------------------------------------------------------------------

TEST(Frames, ChecksumOfTheWorkedExamples) {
  EXPECT_EQ(Checksum("001E01050006200100040064"), 0xDE6E);
  EXPECT_EQ(Checksum("0123AB"), 0x53DD);
  EXPECT_EQ(Checksum("000E0405"), 0xFBED);
}

TEST(Frames, RequestsAreAnnotated) {
  EXPECT_EQ(AnnotateRequest(":001E01050006200100040064DE6E;"),
            "station 05, read V (2001), count 4, address 0064, checksum ok");
  EXPECT_EQ(AnnotateRequest(":00200105000730030010010001CCC1;"),
            "station 05, write X (3003), address 0010, data 01 00 01, checksum ok");
  EXPECT_EQ(AnnotateRequest(":001E01050006300100641234BC3E;"),
            "station 05, write V (3001), address 0064, data 1234, checksum ok");
  EXPECT_NE(AnnotateRequest(":001E01050006200100040064DE6F;").find("BAD (expected DE6E)"),
            std::string::npos);
  EXPECT_EQ(AnnotateRequest(""), "(no request)");
}

std::string Frame(const std::string& body) {
  char length[8];
  std::snprintf(length, sizeof length, "%04X", static_cast<unsigned>(body.size() + 10));
  char sum[8];
  std::snprintf(sum, sizeof sum, "%04X", Checksum(std::string(length) + body));
  return ":" + std::string(length) + body + sum + ";";
}

TEST(Frames, RepliesAreAnnotated) {
  const std::string readWords = Frame(
      "0105000620010002"
      "0064");
  const std::string readBits = Frame(
      "0105000620030003"
      "0010");
  auto note = [](const std::string& request, const std::string& reply) {
    return TraceReply(request, reply, 1, false).note;
  };
  EXPECT_EQ(note(readWords, Frame("0105000A2000002A0001")),
            "accepted: station 05, primitive 20, controller status 00, data 002A 0001");
  EXPECT_EQ(note(readBits, Frame("01050005"
                                 "2000010001")),
            "accepted: station 05, primitive 20, controller status 00, data 01 00 01");
  EXPECT_EQ(note(readWords, Frame("0105000600001020")),
            "the controller refused the primitive: code 0102: the station exists but is not "
            "connected");
  EXPECT_EQ(note(readWords, Frame("000003")),
            "message code 00: the adapter refused the request, code 0003: a character that is "
            "not an upper-case hex digit");
  EXPECT_EQ(note(readWords, ""),
            "no reply kept: reception ended before any ':' (three stray "
            "bytes end it; the driver skips two) or the port's read failed");
  EXPECT_EQ(TraceReply(readWords, "", 1, true).note,
            "no reply: no byte arrived within the reply time-out");
  EXPECT_EQ(note(readWords, "xx;"), "refused: no ':' at the start");
  EXPECT_EQ(note(readWords, ":0009;"), "refused: the length field does not lead to the ';'");
}

// ---- JSON and the banner --------------------------------------------------------------

TEST(Json, EscapesWhatJsonRequires) {
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString("l1\nl2\t\r"), "\"l1\\nl2\\t\\r\"");
  EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001F\\u007F\"");
  EXPECT_EQ(JsonString("\xE2\x94\x8C"), "\"\xE2\x94\x8C\"");           // UTF-8 passes
  EXPECT_EQ(JsonString("\xC4\xC4"), "\"\\u00C4\\u00C4\"");             // not UTF-8: escaped
  EXPECT_EQ(JsonString("\xE2\x94"), "\"\\u00E2\\u0094\"");             // cut short
  EXPECT_EQ(JsonString("\xC0\x80"), "\"\\u00C0\\u0080\"");             // overlong
  EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\u00ED\\u00A0\\u0080\"");  // surrogate
  EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(Banner, BoxCharactersBecomeUtf8) {
  EXPECT_EQ(Cp437ToUtf8("\xDA\xC4\xBF"), "\u250C\u2500\u2510");
  EXPECT_EQ(Cp437ToUtf8("\xB3\xDB\xB2\xB1\xB0"), "\u2502\u2588\u2593\u2592\u2591");
  EXPECT_EQ(Cp437ToUtf8("\xC0\xD9"), "\u2514\u2518");
  EXPECT_EQ(Cp437ToUtf8("\x80\xFF"), "\u00C7\u00A0");
  EXPECT_EQ(Cp437ToUtf8("TIWAY I\n"), "TIWAY I\n");
}

// ---- the command line -------------------------------------------------------------------

struct Parsed {
  Options options;
  std::string error;  // empty when the command line is good
};

Parsed Parse(std::vector<std::string> args, std::string_view port = "") {
  Parsed r;
  r.error = ParseArgs(args, port, r.options).value_or("");
  return r;
}

TEST(Args, CommandsOptionsAndDefaults) {
  Parsed r = Parse({"read", "05V0064", "4", "--port", "/dev/pts/3", "--trace", "--json"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.command, "read");
  ASSERT_EQ(r.options.points.size(), 1u);
  EXPECT_EQ(r.options.points[0].text, "05V0064");
  EXPECT_EQ(r.options.points[0].count, 4);
  EXPECT_EQ(r.options.port, "/dev/pts/3");
  EXPECT_TRUE(r.options.trace);
  EXPECT_TRUE(r.options.json);
  EXPECT_EQ(r.options.timeout, 100);
  EXPECT_FALSE(r.options.hostType.has_value());

  r = Parse({"--baud=9600", "--parity", "even", "--data-bits", "8", "--stop-bits", "1.5",
             "--timeout", "-5", "--host-type", "6", "--instance", "7", "write", "01V0001A", "1"},
            "COM1");
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.port, "COM1");
  EXPECT_EQ(*r.options.baud, 9600);
  EXPECT_EQ(*r.options.parity, 2);
  EXPECT_EQ(*r.options.dataBits, 8);
  EXPECT_EQ(*r.options.stopBits, 1);  // one and a half: the record's code 1
  EXPECT_EQ(r.options.timeout, -5);
  EXPECT_EQ(*r.options.hostType, 6);
  EXPECT_EQ(r.options.instance, 7);
  EXPECT_EQ(r.options.values, (std::vector<std::string>{"1"}));

  r = Parse({"write", "05V0064", "-5", "0x10", "--port", "NUL"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.values, (std::vector<std::string>{"-5", "0x10"}));
  EXPECT_EQ(r.options.points[0].count, 2);
  r = Parse({"--port", "NUL", "write", "05V0064", "--", "-5", "-inf"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.values, (std::vector<std::string>{"-5", "-inf"}));

  r = Parse({"watch", "02X0001", "8", "--port", "NUL", "--interval", "200", "--polls", "3"});
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(r.options.intervalMs, 200);
  EXPECT_EQ(r.options.polls, 3);

  EXPECT_EQ(Parse({"info"}).error, "");
  EXPECT_TRUE(Parse({"--help"}).options.help);
}

TEST(Args, MistakesAreNamed) {
  struct Case {
    std::vector<std::string> args;
    const char* part;
  };
  const Case cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"read"}, "needs a POINT"},
      {{"read", "05V0064"}, "needs --port"},
      {{"read", "05V0064", "0", "--port", "NUL"}, "COUNT"},
      {{"read", "05V0064", "1", "2", "--port", "NUL"}, "POINT [COUNT]"},
      {{"write", "05V0064", "--port", "NUL"}, "at least one VALUE"},
      {{"read", "05V0064", "--port", "/dev/ttyUSB10"}, "at most 11"},
      {{"read", "05V0064", "--port"}, "--port needs a value"},
      {{"info", "--baud", "115200"}, "16 bits"},
      {{"info", "--parity", "weird"}, "none, odd, even, mark or space"},
      {{"info", "--stop-bits", "3"}, "--stop-bits"},
      {{"info", "--bogus"}, "unknown option --bogus"},
      {{"info", "--trace=maybe"}, "--trace"},
      {{"read", "05V0064", "--polls", "3", "--port", "NUL"}, "--polls is an option of watch"},
      {{"info", "--stop-bits", "0"}, "1, 1.5 or 2"},
      {{"info", "extra"}, "info takes no arguments"},
  };
  for (const Case& c : cases) {
    Parsed r = Parse(c.args);
    EXPECT_NE(r.error.find(c.part), std::string::npos) << "'" << r.error << "' lacks " << c.part;
  }
}

TEST(Args, SettingsComeFromFlagsThenEnvironmentThenProfile) {
  const std::string profile = ::testing::TempDir() + "tiway-profile";
  {
    std::ofstream file(profile);
    file << "# commissioning laptop\nport = /dev/ttyS1\nbaud = 9600\n";
  }
  auto port = [&profile](std::vector<std::string> args) {
    args.insert(args.end(), {"--profile", profile, "read", "05V0064"});
    Parsed r = Parse(args);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(*r.options.baud, 9600);
    return r.options.port;
  };
#if defined(_WIN32)
  _putenv("TIWAY_PORT=");
#else
  unsetenv("TIWAY_PORT");
#endif
  EXPECT_EQ(port({}), "/dev/ttyS1");
#if defined(_WIN32)
  _putenv("TIWAY_PORT=/dev/ttyS2");
#else
  setenv("TIWAY_PORT", "/dev/ttyS2", 1);
#endif
  EXPECT_EQ(port({}), "/dev/ttyS2");
  EXPECT_EQ(port({"--port", "/dev/ttyS3"}), "/dev/ttyS3");
#if defined(_WIN32)
  _putenv("TIWAY_PORT=");
#else
  unsetenv("TIWAY_PORT");
#endif
}

void SetEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv((std::string(name) + "=" + value).c_str());
#else
  (void)(value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1));
#endif
}

std::string WriteProfile(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(Args, TheProfileComesFromItsOptionOrTheEnvironmentAndItsErrorsNameFileAndLine) {
  SetEnv("TIWAY_PORT", "");
  const std::string path =
      WriteProfile("tiway-a", "port = \"/dev/ttyS4\"  # quoted\nbaud = 4800\n");
  SetEnv("TIWAY_PROFILE", path);
  Parsed r = Parse({"read", "05V0064"});
  EXPECT_EQ(r.options.port, "/dev/ttyS4") << r.error;
  EXPECT_EQ(r.options.baud.value_or(0), 4800);
  SetEnv("TIWAY_PROFILE", path + "-none");
  EXPECT_EQ(Parse({"read", "05V0064"}).error,
            path + "-none: cannot read the profile: No such file or directory");
  SetEnv("TIWAY_PROFILE", "");
  const std::pair<const char*, const char*> cases[] = {
      {"port = x\nfrob = 1\n", "2: unknown setting 'frob'; a profile takes port, driver, baud"},
      {"# laptop\nbuad = 9600\n", "2: unknown setting 'buad' (did you mean 'baud'?)"},
      {"port = x\n\nbaud = 9600x\n", "3: baud = 9600x: --baud takes a number from 1 to 65535"},
      {"trace = maybe\n", "1: trace = maybe: trace takes true or false"},
      {"port\n", "1: 'port' is not 'option = value'"},
      {"[read]\n", "1: sections are not used"}};
  for (const auto& [text, error] : cases) {
    const std::string bad = WriteProfile("tiway-bad", text);
    EXPECT_EQ(Parse({"--profile", bad, "read", "05V0064"}).error.rfind(bad + ":" + error, 0), 0u);
  }
}

TEST(Args, EachCommandsHelpListsItsOwnOptions) {
  EXPECT_EQ(Parse({"watch", "--help"}).options.helpCommand, "watch");
  const std::string watch = UsageText("", "watch");
  for (const char* part : {"Usage: tiway [OPTIONS] watch", "--interval", "--polls", "--csv"}) {
    EXPECT_NE(watch.find(part), std::string::npos) << part << " missing in\n" << watch;
  }
  EXPECT_NE(UsageText("", "write").find("--raw-bits"), std::string::npos);
  // Every argument a command's help lists says what it is.
  for (const char* command : {"info", "read", "write", "watch", "plot"}) {
    std::istringstream help(UsageText("", command));
    bool positionals = false;
    for (std::string line; std::getline(help, line);) {
      if (line.rfind("Positionals:", 0) == 0) positionals = true;
      if (line.empty()) positionals = false;
      if (!positionals || line.rfind("  ", 0) != 0) continue;
      EXPECT_GT(line.size(), 30u) << command << ": '" << line << "' is not described";
    }
  }
  // The default profile is shown as ~, not as the home of whoever runs it.
  EXPECT_NE(UsageText("").find("(default ~/.config/tiway/profile;"), std::string::npos);
  const std::string completion = BashCompletion();
  EXPECT_EQ(completion.find("--help"), completion.rfind("--help")) << completion;
}

TEST(Args, PointsCountsAndScanLists) {
  Parsed r = Parse({"read", "05V0064:4", "05X0010", "8", "0AF0200", "--port", "NUL"});
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.options.points.size(), 3u);
  EXPECT_EQ(r.options.points[0].count, 4);
  EXPECT_EQ(r.options.points[1].count, 8);
  EXPECT_EQ(r.options.points[2].count, 1);
  std::vector<ScanLine> list =
      ParseScanList("# boiler\n05V0064:4\n\n  05X0010 8   # valves\n0AF0200\r\n", "plant.txt");
  ASSERT_EQ(list.size(), 3u);
  for (const ScanLine& line : list) EXPECT_EQ(line.problem, std::nullopt) << *line.problem;
  EXPECT_EQ(list[1].spec.text, "05X0010");
  EXPECT_EQ(list[1].spec.count, 8);
  EXPECT_EQ(list[1].spec.origin, "plant.txt:4");  // for the point's own errors
  // Every bad line, each with its own line, in order.
  list = ParseScanList("05V0064 1 2\n05V0064\n05V0064:0\n", "plant.txt");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].spec.origin, "plant.txt:1");
  EXPECT_EQ(list[0].problem.value_or("").rfind("one point per line", 0), 0u);
  EXPECT_EQ(list[1].problem, std::nullopt);
  EXPECT_EQ(list[2].spec.origin, "plant.txt:3");
  EXPECT_EQ(list[2].problem.value_or("").rfind("the count after ':'", 0), 0u);
}

TEST(Values, FloatsForFPointsAndTheViewsOfAWord) {
  uint32_t value = 0;
  EXPECT_EQ(ParseValue(PointKind::FValue, "1.5", value), std::nullopt);
  EXPECT_EQ(value, 0x3FC00000u);
  EXPECT_EQ(ParseValue(PointKind::FValue, "-2e3", value), std::nullopt);
  EXPECT_EQ(value, 0xC4FA0000u);
  EXPECT_NE(ParseValue(PointKind::VWord, "1.5", value), std::nullopt);
  EXPECT_EQ(FormatValueAs(PointKind::FValue, 0x3FC00000u, ValueFormat::Default), "1.5  0x3FC00000");
  EXPECT_EQ(FormatValueAs(PointKind::FValue, 0xC4FA0000u, ValueFormat::Int), "-990248960");
  EXPECT_EQ(FormatValueAs(PointKind::VWord, 0x802A, ValueFormat::Bin), "1000 0000 0010 1010");
  EXPECT_EQ(FormatValueAs(PointKind::VWord, 0xFFFF, ValueFormat::Int), "-1");
  EXPECT_EQ(FormatValueAs(PointKind::VWord, 42, ValueFormat::Hex), "0x002A");
}

TEST(Args, UsageListsTheExitCodes) {
  std::string usage = UsageText("");
  for (const char* part : {"0  success", "2  address text", "4  the port", "5  a read or write",
                           "7  the adapter configuration failed", "130  interrupted"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace tiway
