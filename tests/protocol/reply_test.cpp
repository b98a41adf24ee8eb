// Request parameters, reply building, value codecs and a whole exchange from the manager's side.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/orv_const.h"
#include "tests/support/protocol_util.h"

namespace {

TEST(ReplyTest, ParametersByLine) {
  JXRequest req;
  req = "a\nb\n\r";
  EXPECT_EQ(req.GetParamsCount(), 2);
  struct Case {
    int n;
    int trim;
    const char* value;
  };
  const Case cases[] = {{0, 0, "a"},  {1, 0, "a"}, {2, 1, "b"},
                        {3, 0, "\r"}, {3, 1, ""},  {4, 1, ""}};
  for (const auto& c : cases) EXPECT_EQ(ToStd(req.GetParam(c.n, c.trim)), c.value) << c.n;
  req = " x \n\n";
  EXPECT_EQ(req.GetParamsCount(), 2);
  EXPECT_EQ(ToStd(req.GetParam(1, 1)), "x");
  EXPECT_EQ(ToStd(req.GetParam(2, 0)), "");
  req = String();
  EXPECT_EQ(req.GetParamsCount(), 0);
}

TEST(ReplyTest, ParameterForms) {
  setenv("TZ", "UTC", 1);
  tzset();
  tm march{};
  march.tm_mday = 5;
  march.tm_mon = 2;
  march.tm_year = 107;
  march.tm_hour = 9;
  march.tm_min = 4;
  march.tm_sec = 3;
  const std::string nul("a\0b", 3);
  struct Case {
    const char* name;
    std::function<void(ORVReply&)> build;
    std::string text;
  };
  const Case cases[] = {
      {"result, text, int, bool",
       [](ORVReply& r) {
         r.SetResult("200") += "Ok";
         r.AddIntParam(7);
         r.AddBoolParam(2);
         r.AddBoolParam(0);
       },
       "200\nOk\n7\n1\n0\n"},
      {"64-bit padding",
       [](ORVReply& r) {
         r.AddIntParam(123456789012LL);
         r.AddIntParam(-1LL);
         r.AddIntParam(5L);
       },
       "123456789012\n    -1\n     5\n"},
      {"reals",
       [](ORVReply& r) {
         r.AddRealParam(0.5);
         r.AddRealParam(12.5);
       },
       "0.5000\n12.5000\n"},
      {"times",
       [&](ORVReply& r) {
         r.AddTimeParam(march);
         r.AddTimeParam(time_t{1173085443});
       },
       "05032007090403\n05032007090403\n"},
      {"strings",
       [&](ORVReply& r) {
         r.AddStringParam("a\r\nb", 1);
         r.AddStringParam(FromStd(nul), 0);
         r.AddStringParam(String(), 1);
         r.AddStringParam(static_cast<const char*>(nullptr), 0);
       },
       "a%0D%0Ab\n" + nul + "\n\n\n"},
      {"2047 bytes fit", [](ORVReply& r) { r.AddVarParams("%2047d", 1); },
       std::string(2046, ' ') + "1\n"},
      {"2048 bytes dropped",
       [](ORVReply& r) {
         r.SetResult("200");
         r.AddVarParams("%2048d", 1);
       },
       "200\n"},
      {"null result", [](ORVReply& r) { r.InitPacket(nullptr, "k"); }, ""},
      {"message then separator",
       [](ORVReply& r) {
         r.InitPacket("301", "k");
         r += "x";
         r.AddVarParams("%s=%d", "n", 5);
       },
       "301\nx\nn=5\n"},
  };
  for (const auto& c : cases) {
    ORVReply reply;
    c.build(reply);
    EXPECT_EQ(ToStd(reply), c.text) << c.name;
  }
}

TEST(ReplyTest, WorkedReplyPacket) {
  ORVReply reply;
  reply.InitPacket(nullptr, "session");
  reply.SetResult("200") += "Ok";
  reply.AddIntParam(5);
  reply.FinalizePacket();
  EXPECT_EQ(ToStd(reply),
            std::string("\x0A\0\0\0", 4) + ReferenceCfb8("200\nOk\n5\n\r", "session", true));
  // An empty text still becomes one CR, so the prefix is always there.
  ORVReply empty;
  empty.FinalizePacket();
  EXPECT_EQ(ToStd(empty), std::string("\x01\0\0\0", 4) + ReferenceCfb8("\r", "", true));
}

TEST(ReplyTest, ValueCodecs) {
  struct Case {
    const char* text;
    int checked;  // result of the checked form
    long long value;
  };
  const Case cases[] = {
      {"12", 1, 12}, {"12a", 0, 99}, {"-", 1, 0},     {"", 1, 0},
      {"+5", 0, 99}, {" 5", 0, 99},  {"-42", 1, -42}, {"9000000000", 1, 9000000000LL}};
  for (const auto& c : cases) {
    long long v64 = 99;
    EXPECT_EQ(orvDecodeInt64(c.text, &v64), c.checked) << c.text;
    EXPECT_EQ(v64, c.value) << c.text;
    EXPECT_EQ(orvDecodeInt64(String(c.text), &v64), c.checked) << c.text;
    int v = 99;
    EXPECT_EQ(orvDecodeInt(String(c.text), &v), c.checked) << c.text;
    if (c.checked && c.value < 1000) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
  EXPECT_EQ(orvDecodeInt(String("7x")), 7);
  EXPECT_EQ(orvDecodeInt64("-3"), -3);
  for (const char* s : {"1", "10", "1 ", "true", "0", ""}) {
    EXPECT_EQ(orvDecodeBool(String(s)), std::string(s) == "1") << s;
  }
  EXPECT_EQ(std::string(BoolConst[0]) + BoolConst[1], "01");
}

TEST(ReplyTest, WholeExchangeFromTheManagersSide) {
  const String packet = BuildRequestPacket("secret", "sess-key", "GetStatus\nparam 1\n\r");
  JXRequest req;
  // Arrives in small pieces, as over TCP.
  for (int pos = 1; pos <= packet.Length(); pos += 7) {
    EXPECT_EQ(req.WholePacket(), 0);
    req.AddData(packet.Data() + pos - 1, std::min(7, packet.Length() - pos + 1));
  }
  ASSERT_EQ(req.WholePacket(), 1);
  ASSERT_EQ(req.ParseInitRequest("secret", in_addr{0}), 1);
  EXPECT_EQ(ToStd(req.GetParam(1, 1)), "GetStatus");
  EXPECT_EQ(ToStd(req.GetParam(2, 0)), "param 1");

  ORVReply reply;
  reply.InitPacket(nullptr, req.GetSessionKey());
  reply.SetResult("200") += "Ok";
  reply.AddStringParam(req.GetParam(2, 0), 1);
  reply.FinalizePacket();

  EXPECT_EQ(ReplyPacketSize(reply.Copy(1, 3)), 0);
  EXPECT_EQ(ReplyPacketSize(reply), reply.Length());
  String text;
  ASSERT_EQ(DecodeReplyPacket(reply, "sess-key", text), 1);
  EXPECT_EQ(ToStd(text), "200\nOk\nparam 1\n");
  EXPECT_EQ(DecodeReplyPacket(reply, "other-key", text), 0);
  EXPECT_EQ(DecodeReplyPacket(reply.Copy(1, reply.Length() - 1), "sess-key", text), 0);
  EXPECT_EQ(ReplyPacketSize(FromStd(std::string("\xFF\xFF\xFF\xFF", 4))), -1);

  JXRequest wrong;
  wrong = packet;
  EXPECT_EQ(wrong.ParseInitRequest("Secret", in_addr{0}), 0);
}

}  // namespace

namespace {

// Sessions run the envelope on their own threads without locks.
TEST(ProtocolConcurrencyTest, SessionsParseAndReplyInParallel) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < 50; ++i) {
        const String key = FromStd("key-" + std::to_string(t) + "-" + std::to_string(i));
        JXRequest req;
        req = BuildRequestPacket("pw", key, "Cmd\n\r");
        if (!req.ParseInitRequest("pw", in_addr{0})) continue;
        ORVReply reply;
        reply.InitPacket("200", req.GetSessionKey());
        reply.FinalizePacket();
        String text;
        good += DecodeReplyPacket(reply, key, text) && text == "200\n";
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), 200);
}

}  // namespace
