// CRedisHelper against a real redis-server on a private loopback port.
#include <gtest/gtest.h>

#include <string>

#include "RedisHelper.h"
#include "test_support.h"

using testsupport::RedisServer;

namespace {

class RedisHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(redis_.start());
    r_.host_ = "127.0.0.1";
    r_.port_ = static_cast<unsigned short>(redis_.port());
    r_.timeout = {2, 0};
    ASSERT_EQ(0, r_.Connect());
    ASSERT_TRUE(r_.ping());
  }

  RedisServer redis_;
  CRedisHelper r_;
};

TEST_F(RedisHelperTest, QueueIsFirstInFirstOutAndStackLastInFirstOut) {
  EXPECT_EQ(1, r_.Enqueue("q", "a"));
  EXPECT_EQ(2, r_.Enqueue("q", "b"));
  std::string v;
  r_.Dequeue("q", v);
  EXPECT_EQ("a", v);
  r_.Dequeue("q", v);
  EXPECT_EQ("b", v);

  EXPECT_EQ(1, r_.Push("s", "a"));
  EXPECT_EQ(2, r_.Push("s", "b"));
  r_.Pop("s", v);
  EXPECT_EQ("b", v);
  r_.Pop("s", v);
  EXPECT_EQ("a", v);
  EXPECT_EQ(nullptr, r_.reply);  // every command frees its reply
}

TEST_F(RedisHelperTest, NilRepliesLeaveTheValueAsItWas) {
  std::string v;
  r_.Dequeue("empty", v);
  EXPECT_EQ("", v);
  v = "kept";
  r_.Pop("empty", v);
  EXPECT_EQ("kept", v);
  r_.Get("nokey", v);
  EXPECT_EQ("kept", v);
  // A wrong-type error reply is not a string either.
  EXPECT_EQ(0, r_.Set("str", "x"));
  r_.Dequeue("str", v);
  EXPECT_EQ("kept", v);
}

TEST_F(RedisHelperTest, RemoveEachCountsOnlyRemovalsRedisCarriedOut) {
  ASSERT_EQ("2", redis_.command({"RPUSH", "l", "a", "b"}));
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "-lrem"}));
  EXPECT_EQ(0u, r_.RemoveEach("l", {"a", "b"}));  // both refused with an error reply
  ASSERT_EQ("OK", redis_.command({"ACL", "SETUSER", "default", "+lrem"}));
  EXPECT_EQ(2u, r_.RemoveEach("l", {"a", "b"}));
  EXPECT_EQ("0", redis_.command({"LLEN", "l"}));
}

TEST_F(RedisHelperTest, ValuesWithBlanksTravelAsOneArgument) {
  EXPECT_EQ(0, r_.Set("k", "two words {\"a\": 1}"));
  std::string v;
  r_.Get("k", v);
  EXPECT_EQ("two words {\"a\": 1}", v);
  EXPECT_EQ("two words {\"a\": 1}", redis_.command({"GET", "k"}));
}

TEST_F(RedisHelperTest, BinarySafePushesKeepZeroBytesAndRequeueGoesToTheHead) {
  std::string bin("a\0b", 3);
  EXPECT_EQ(1, r_.EnqueueBytes("q", bin));
  EXPECT_EQ(2, r_.Enqueue("q", "c"));
  EXPECT_EQ(3, r_.Requeue("q", "first"));
  std::string v;
  r_.Dequeue("q", v);
  EXPECT_EQ("first", v);
  r_.Dequeue("q", v);
  EXPECT_EQ(bin, v);
  r_.Dequeue("q", v);
  EXPECT_EQ("c", v);
}

TEST_F(RedisHelperTest, ReconnectReplacesTheContextAndStoppedServerFailsEverything) {
  redisContext* first = r_.context;
  ASSERT_EQ(0, r_.Connect("127.0.0.1", static_cast<unsigned short>(redis_.port()), 2));
  EXPECT_NE(nullptr, r_.context);
  EXPECT_TRUE(r_.ping());
  (void)first;  // freed by Connect; AddressSanitizer reports a leak otherwise

  redis_.stop();
  EXPECT_FALSE(r_.ping());
  EXPECT_EQ(1, r_.Enqueue("q", "a"));
  std::string v = "kept";
  r_.Dequeue("q", v);
  EXPECT_EQ("kept", v);
  // A refused connection still leaves a context behind; only ping tells.
  EXPECT_EQ(0, r_.Connect());
  EXPECT_NE(nullptr, r_.context);
  EXPECT_FALSE(r_.ping());
  EXPECT_EQ(nullptr, r_.reply);
}

TEST(RedisHelperNoServer, NoContextMeansNoPingAndNoReply) {
  CRedisHelper r;
  EXPECT_FALSE(r.ping());
  EXPECT_EQ(1, r.Set("k", "v"));
  std::string v = "x";
  r.Get("k", v);
  EXPECT_EQ("x", v);
}

TEST(RedisHelperErrorReply, PingAnsweredWithAnErrorIsFalse) {
  // A server that demands a password answers PING with an error reply.
  RedisServer redis;
  ASSERT_TRUE(redis.start());
  ASSERT_EQ("OK", redis.command({"CONFIG", "SET", "requirepass", "secret"}));
  CRedisHelper r;
  ASSERT_EQ(0, r.Connect("127.0.0.1", static_cast<unsigned short>(redis.port()), 2));
  EXPECT_FALSE(r.ping());
  EXPECT_EQ(nullptr, r.reply);
}

}  // namespace
