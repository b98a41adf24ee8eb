// Request parameters, reply building, value codecs and a whole exchange from the manager's side.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
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
  ORVReply r;
  r.InitPacket("301", "k");
  EXPECT_EQ(ToStd(r), "301\n");
  r.SetResult("200") += "Ok";  // the message becomes its own line
  r.AddIntParam(7);
  r.AddBoolParam(2);
  r.AddIntParam(123456789012LL);
  r.AddIntParam(-1LL);
  r.AddIntParam(5L);
  r.AddRealParam(0.5);
  r.AddRealParam(12.5);
  r.AddTimeParam(march);
  r.AddTimeParam(time_t{1173085443});
  r.AddStringParam("a\r\nb", 1);
  r.AddStringParam(FromStd(std::string("a\0b", 3)), 0);
  r.AddStringParam(String(), 1);
  r.AddVarParams("%2048d", 1);  // one byte too many for the buffer: dropped
  r.AddVarParams("%s=%d", "n", 5);
  EXPECT_EQ(ToStd(r), std::string("200\nOk\n7\n1\n123456789012\n    -1\n     5\n0.5000\n12.5000\n"
                                  "05032007090403\n05032007090403\na%0D%0Ab\na\0b\n\nn=5\n",
                                  101));
  r.SetResult(nullptr);
  r.AddVarParams("%2047d", 1);
  EXPECT_EQ(ToStd(r), std::string(2046, ' ') + "1\n");
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
  String stale("123456");
  stale.Delete(3, 4);  // the deleted bytes stay behind the length
  EXPECT_EQ(orvDecodeInt(stale), 12);
  EXPECT_EQ(orvDecodeInt64(stale), 12);
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
