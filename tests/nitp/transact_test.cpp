// Transactions on the scripted fake line, and reply checks with their log
// lines.
#include "nitp/transact.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/records.h"
#include "nitp/frame.h"
#include "tests/fake/fake_line.h"
#include "tests/support/log_capture.h"

namespace {

using fake::FakeLine;

// A well-formed frame around a body, as a peer would send it.
std::string Frame(const std::string& body) {
  char buffer[kFrameBufferSize] = {};
  std::memcpy(buffer, body.data(), body.size());
  EXPECT_EQ(ComposeFrame(nullptr, buffer, PlainFrame), 0);
  return buffer;
}

// Body of a primitive reply: message code 01, station 05, a primitive
// length, the primitive code at frame positions 13-14 and the error code at
// 16-19.
std::string PrimitiveBody(const std::string& code, const std::string& error) {
  return "01"
         "05"
         "0006" +
         code + "0" + error + "0";
}

class NitpLine : public ::testing::Test {
 protected:
  void SetUp() override {
    SerialHandle handle = 0;
    ASSERT_EQ(SerialOpen("COM1", LineSettings{19200, 7, 0, 1}, 8, &handle), 0);
    context.portHandle = handle;
    line.trace.clear();
  }
  std::string Reply() const { return context.replyBuffer; }

  FakeLine line;
  LogCapture log;
  PortContext context{};
  ZorRequest request{&context, 5, 7, 0, nullptr};
};

TEST_F(NitpLine, TransactSendsTheFrameAndStoresTheReply) {
  const std::string reply = Frame(
      "0105"
      "0006"
      "20"
      "0"
      "00640");
  line.Feed("stale");
  line.Reply(reply + "trailing");
  const char* frame = ":001E01050006200100040064DE6E;";
  EXPECT_EQ(Transact(request, frame, context.replyBuffer), 0);
  EXPECT_EQ(Reply(), reply);

  std::vector<std::string> expected = {"purge", std::string("write ") + frame};
  expected.insert(expected.end(), reply.size(), "read");  // one read per byte, up to the ";"
  expected.push_back("sleep 50");
  expected.push_back("purge");
  EXPECT_EQ(line.trace, expected);
  EXPECT_TRUE(line.PendingInput().empty());
  // Once the length field is in, the serial layer learns how much is to come.
  EXPECT_EQ(line.expects, 1);
  EXPECT_EQ(line.lastExpected, reply.size() - 5);
  EXPECT_EQ(CheckReply(request, context.replyBuffer), 0);
  EXPECT_TRUE(log.Lines().empty());
}

TEST_F(NitpLine, ReceptionOutcomes) {
  const std::string good = Frame(
      "06"
      "0105");
  struct Case {
    const char* what;
    std::string bytes;
    int32_t status;
    std::string stored;
  } cases[] = {
      {"two stray bytes",
       "\x7f"
       "x" +
           good,
       0, good},
      {"three stray bytes", "ab;" + good, ReplyIncomplete, ""},
      {"silence", "", SerialIoFailed, ""},
      {"cut off", good.substr(0, 9), SerialIoFailed, good.substr(0, 9)},
      {"a later colon is stored",
       ":000F0:"
       "x;",
       0, ":000F0:x;"},
      {"600 characters without ';'", ":" + std::string(599, '0'), ReplyIncomplete,
       ":" + std::string(588, '0')},
  };
  for (const Case& c : cases) {
    line.trace.clear();
    std::memset(context.replyBuffer, 'Z', kFrameBufferSize);
    line.Reply(c.bytes);
    EXPECT_EQ(Transact(request, "ping", context.replyBuffer), c.status) << c.what;
    EXPECT_EQ(Reply(), c.stored) << c.what;
    ASSERT_GE(line.trace.size(), 2u);
    EXPECT_EQ(line.trace[line.trace.size() - 2], "sleep 50") << c.what;
    EXPECT_EQ(line.trace.back(), "purge") << c.what;
    EXPECT_TRUE(line.PendingInput().empty()) << c.what;
  }
}

TEST_F(NitpLine, FailedWriteReceivesNothing) {
  std::strcpy(context.replyBuffer, "old");
  line.writeStatus = SerialIoFailed;
  EXPECT_EQ(Transact(request, ":000E0405FBED;", context.replyBuffer), SerialIoFailed);
  line.writeStatus = SerialShortWrite;
  line.shortWriteCount = 3;
  EXPECT_EQ(Transact(request, ":000E0405FBED;", context.replyBuffer), SerialShortWrite);
  EXPECT_EQ(line.reads, 0);
  EXPECT_EQ(Reply(), "old");
}

struct CheckCase {
  const char* what;
  std::string reply;
  int32_t status;
  const char* logLine;  // null: nothing logged
};

std::string WithBadChecksum(std::string frame) {
  char& c = frame[frame.size() - 2];
  c = c == '0' ? '1' : '0';
  return frame;
}

// The same frame with its checksum digits in lower case (same value).
std::string LowerChecksum(std::string frame) {
  for (size_t i = frame.size() - 5; i < frame.size() - 1; ++i) {
    if (frame[i] >= 'A' && frame[i] <= 'F') frame[i] = static_cast<char>(frame[i] + 32);
  }
  return frame;
}

std::string WithLength(std::string frame, const char* length) {
  frame.replace(1, 4, length);
  return frame;
}

TEST_F(NitpLine, CheckReplyCases) {
  const char* colon = "ZOR07: TW: CheckReply() - not a valid reply string ':'";
  const char* semicolon = "ZOR07: TW: CheckReply() - not a valid reply string ';'";
  const char* bcc = "ZOR07: TW: CheckReply() bcc error";
  const char* notHex = "ZOR07: TW: CheckReply() - not a valid reply string: not upper-case hex";
  const std::string ok = Frame(PrimitiveBody("20", "0000"));
  std::string lower = ok;
  lower[4] = 'e';  // length field in lower case

  const CheckCase cases[] = {
      {"empty", "", ReplyInvalid, colon},
      {"no colon", "X" + ok.substr(1), ReplyInvalid, colon},
      {"too short for a length", ":00", ReplyInvalid, semicolon},
      {"length 9", WithLength(ok, "0009"), ReplyInvalid, semicolon},
      {"length past the end", WithLength(ok, "0040"), ReplyInvalid, semicolon},
      {"lower-case length", lower, ReplyInvalid, semicolon},
      {"no ';' where the length says", ok.substr(0, ok.size() - 1) + ".", ReplyInvalid, semicolon},
      {"bcc, code 00",
       WithBadChecksum(Frame("00"
                             "05")),
       ReplyInvalid, bcc},
      {"bcc, code 01", WithBadChecksum(Frame(PrimitiveBody("00", "0102"))), ReplyInvalid, bcc},
      {"bcc, code 06", WithBadChecksum(Frame("0601")), ReplyInvalid, bcc},
      {"code 00",
       Frame("00"
             "05"),
       2, nullptr},
      {"primitive done", ok, 0, nullptr},
      // Replies are upper-case hex: anything else is refused before it is
      // decoded, wherever it stands (a lower-case digit decodes to a wrong
      // value that the checksum, computed the same way, cannot see).
      {"primitive code in lower case", Frame(PrimitiveBody("2a", "0000")), ReplyInvalid, notHex},
      {"data in lower case", Frame(PrimitiveBody("20", "00ab")), ReplyInvalid, notHex},
      {"checksum in lower case", LowerChecksum(Frame(PrimitiveBody("20", "0000"))), ReplyInvalid,
       notHex},
      {"':' inside the body", Frame(PrimitiveBody("20", "00:0")), ReplyInvalid, notHex},
      {"primitive error", Frame(PrimitiveBody("00", "0102")), 258,
       "ZOR07: TW: CheckReply() - primitive error: 0102"},
      {"primitive error FFFF", Frame(PrimitiveBody("00", "FFFF")), 0xFFFF,
       "ZOR07: TW: CheckReply() - primitive error: FFFF"},
      {"primitive error in lower case", Frame(PrimitiveBody("00", "00ff")), ReplyInvalid, notHex},
      {"primitive error with a non-digit", Frame(PrimitiveBody("00", "1G00")), ReplyInvalid,
       notHex},
      // A failed primitive whose code reads 0 is still a failure.
      {"primitive error 0000", Frame(PrimitiveBody("00", "0000")), 2,
       "ZOR07: TW: CheckReply() - primitive error: 0000"},
      {"blank before the primitive code", Frame(PrimitiveBody(" 5", "0000")), ReplyInvalid, notHex},
      {"code 06",
       Frame("0601"
             "0000"
             "00"),
       0, nullptr},
      {"code 04, short", Frame("04"), 0, nullptr},
  };
  for (const CheckCase& c : cases) {
    log.Clear();
    std::memset(context.replyBuffer, 0, kFrameBufferSize);
    std::memcpy(context.replyBuffer, c.reply.data(), c.reply.size());
    EXPECT_EQ(CheckReply(request, context.replyBuffer), c.status) << c.what;
    std::vector<std::string> expected;
    if (c.logLine) expected.push_back(c.logLine);
    EXPECT_EQ(log.Lines(), expected) << c.what;
    for (int level : log.Levels()) EXPECT_EQ(level, 32);
  }
}

// A block transfer takes only the reply that answers it: its station, its
// primitive, and for a read the data its count asks for, no more, no less.
// A late reply to another request is refused like a malformed one.
TEST_F(NitpLine, ReplyMustAnswerItsRequest) {
  const char* foreign = "ZOR07: TW: CheckReply() - reply does not answer the request";
  const char* readFourWords = ":001E01050006200100040064DE6E;";  // 05V0064, 4 words
  const char* readTwoDiscretes = nullptr;
  char discreteFrame[kFrameBufferSize] = "01050006200300020010";
  ASSERT_EQ(ComposeFrame(nullptr, discreteFrame, PlainFrame), 0);
  readTwoDiscretes = discreteFrame;
  char writeFrame[kFrameBufferSize] = "0105000A30010064AAAA";
  ASSERT_EQ(ComposeFrame(nullptr, writeFrame, PlainFrame), 0);
  const std::string words4 = "1111222233334444";
  const struct {
    const char* what;
    const char* request;
    std::string reply;
    int32_t status;
  } cases[] = {
      {"read answered", readFourWords, Frame("0105000A2000" + words4), 0},
      {"read by another station", readFourWords, Frame("0102000A2000" + words4), ReplyInvalid},
      {"read with fewer words", readFourWords, Frame("010500082000" + words4.substr(4)),
       ReplyInvalid},
      {"read with more words", readFourWords, Frame("0105000C2000" + words4 + "5555"),
       ReplyInvalid},
      {"read answered by a write reply", readFourWords, Frame("0105000230000"), ReplyInvalid},
      {"read answered by an adapter reply", readFourWords, Frame("0605"), ReplyInvalid},
      {"discretes answered", readTwoDiscretes, Frame("0105000420000100"), 0},
      {"discretes given as words", readTwoDiscretes,
       Frame("010500062000"
             "00000001"),
       ReplyInvalid},
      {"write answered", writeFrame, Frame("0105000230000"), 0},
      {"write answered by a read reply", writeFrame, Frame("0105000420001234"), ReplyInvalid},
      {"write answered by another station", writeFrame, Frame("0106000230000"), ReplyInvalid},
  };
  for (const auto& c : cases) {
    log.Clear();
    std::strcpy(context.replyBuffer, c.reply.c_str());
    EXPECT_EQ(CheckReplyTo(request, context.replyBuffer, c.request), c.status) << c.what;
    std::vector<std::string> expected;
    if (c.status != 0) expected.push_back(foreign);
    EXPECT_EQ(log.Lines(), expected) << c.what;
  }
}

// A short primitive reply sits in a buffer that still holds an older, longer
// reply behind its NUL. What lies there is never taken for its primitive or
// error code.
TEST_F(NitpLine, ShortPrimitiveReplyIgnoresStaleBytes) {
  const std::string older = Frame(PrimitiveBody("20", "0102") + "ABCDABCD");
  const std::string shortReply = Frame("01");  // 12 characters, no primitive code
  for (const char* stale : {"20", "00"}) {
    std::string old = older;
    old.replace(13, 2, stale);
    std::memcpy(context.replyBuffer, old.c_str(), old.size() + 1);
    std::memcpy(context.replyBuffer, shortReply.c_str(), shortReply.size() + 1);
    log.Clear();
    EXPECT_EQ(CheckReply(request, context.replyBuffer), 2) << stale;
    EXPECT_EQ(log.Lines(),
              std::vector<std::string>{"ZOR07: TW: CheckReply() - primitive error: 0000"});
  }
}

TEST_F(NitpLine, LogPrefixCarriesTheInstance) {
  for (auto [instance, text] :
       {std::pair<int32_t, const char*>{5, "ZOR05: TW: CheckReply() bcc error"},
        {123, "ZOR123: TW: CheckReply() bcc error"}}) {
    log.Clear();
    ZorRequest r{&context, 5, instance, 0, nullptr};
    std::string bad = WithBadChecksum(Frame("0105"));
    std::strcpy(context.replyBuffer, bad.c_str());
    EXPECT_EQ(CheckReply(r, context.replyBuffer), ReplyInvalid);
    EXPECT_EQ(log.Lines(), std::vector<std::string>{text});
  }
}

// Random replies, mutated from good ones or made of noise, with random stale
// bytes behind them: CheckReply always ends with one of its statuses and
// logs at most one line. Each reply is also checked from an exactly sized
// copy, so that the address sanitizer sees any read past its NUL.
TEST_F(NitpLine, RandomRepliesAreHandled) {
  std::mt19937 rng(12345);
  const char alphabet[] = "0123456789ABCDEFabcdef:;  \x01\xff";
  const std::string seeds[] = {Frame(PrimitiveBody("00", "0102")),
                               Frame("00"
                                     "05"),
                               Frame("0601"
                                     "02"
                                     "05"),
                               Frame("01")};
  for (int i = 0; i < 4000; ++i) {
    std::string reply;
    if (i % 4 == 0) {
      reply.resize(rng() % 40);
      for (char& c : reply) c = alphabet[rng() % (sizeof alphabet - 1)];
      if (!reply.empty() && rng() % 2) reply[0] = ':';
    } else {
      reply = seeds[rng() % 4];
      const int changes = 1 + rng() % 3;
      for (int k = 0; k < changes; ++k) {
        if (rng() % 3 == 0 && reply.size() > 1) {
          reply.resize(1 + rng() % reply.size());
        } else {
          reply[rng() % reply.size()] = alphabet[rng() % (sizeof alphabet - 1)];
        }
      }
    }
    for (size_t k = 0; k < kFrameBufferSize; ++k) {
      context.replyBuffer[k] = alphabet[rng() % (sizeof alphabet - 1)];
    }
    reply = reply.c_str();  // up to an embedded NUL, as the buffer would hold it
    std::memcpy(context.replyBuffer, reply.c_str(), reply.size() + 1);
    log.Clear();
    const int32_t inBuffer = CheckReply(request, context.replyBuffer);
    EXPECT_LE(log.Lines().size(), 1u);
    std::vector<char> exact(reply.c_str(), reply.c_str() + reply.size() + 1);
    EXPECT_EQ(CheckReply(request, exact.data()), inBuffer) << reply;
    EXPECT_TRUE(inBuffer >= 0 && inBuffer <= 0xFFFF) << reply;
  }
}

}  // namespace

// Replies still owed by the line: a request other than the one owed first
// drains the line, up to the owed replies' ends; a retry of the same request
// and any request on a healthy line go straight out.
TEST_F(NitpLine, ARequestOtherThanTheOneOwedDrainsTheLineFirst) {
  const char* readA = ":001E01050006200100040064DE6E;";
  const char* readB = ":001E01050006200100040100DDF3;";
  const std::string lateA = Frame("0105000A20001111222233334444");
  const auto drained = [&](const char* frame) {
    line.trace.clear();
    EXPECT_EQ(SendFrame(request, frame, static_cast<uint32_t>(std::strlen(frame))), 0);
    size_t reads = 0;
    while (reads < line.trace.size() && line.trace[reads] == "read") ++reads;
    return reads;
  };
  struct Step {
    const char* name;
    std::string before;  // what the line delivers before the next send ("" silence)
    const char* frame;
    size_t drainReads;
  };
  // A is sent and times out; its retry needs no drain; B must drain, up to
  // the ends of the two replies owed to A and no further; B again goes
  // straight out.
  EXPECT_EQ(Transact(request, readA, context.replyBuffer), SerialIoFailed);
  const Step steps[] = {
      {"retry of A", "", readA, 0},
      {"B after two silent A", lateA + lateA + "tail", readB, 2 * lateA.size()},
      {"B after B", "", readB, 0},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    line.Feed(step.before);
    EXPECT_EQ(drained(step.frame), step.drainReads);
    ReceiveReply(request, context.replyBuffer);  // silent: owed again
  }
  // A drain that meets silence stops once its window has passed; the window
  // is two reply time-outs and the line time of B's reply (four words) and
  // of the stray bytes a reception allows.
  EXPECT_EQ(drained(readA), 1u);
  EXPECT_EQ(line.lastLimitTimeouts, 2u);
  EXPECT_EQ(line.lastLimit, 22u + 16u + 3u);
}

// A whole reply that answers another request leaves this request's reply
// owed; a whole reply that answers it settles the account.
TEST_F(NitpLine, ForeignRepliesKeepTheRequestsOwnReplyOwed) {
  const char* readA = ":001E01050006200100040064DE6E;";
  const std::string twoWords = Frame(
      "0105000620001111"
      "2222");
  const std::string fourWords = Frame("0105000A20001111222233334444");
  for (const auto& [reply, owed] : {std::pair{twoWords, 1u}, std::pair{fourWords, 0u}}) {
    void* note = SerialUserData(context.portHandle);
    ASSERT_NE(note, nullptr);
    std::memset(note, 0, kSerialUserBytes);  // as the port opened: nothing owed
    line.Reply(reply);
    ASSERT_EQ(Transact(request, readA, context.replyBuffer), 0);
    CheckReplyTo(request, context.replyBuffer, readA);
    EXPECT_EQ(RepliesOwed(context.portHandle), owed) << reply;
  }
}
