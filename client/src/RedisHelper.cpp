#include "RedisHelper.h"

CRedisHelper::CRedisHelper() : context(nullptr), reply(nullptr), timeout{0, 0}, port_(0) {}

CRedisHelper::~CRedisHelper() {
  release_reply();
  if (context != nullptr) {
    redisFree(context);
    context = nullptr;
  }
}

void CRedisHelper::release_reply() {
  if (reply != nullptr) {
    freeReplyObject(reply);
    reply = nullptr;
  }
}

int CRedisHelper::Connect(const char* host, const unsigned short& port, unsigned short second) {
  release_reply();
  if (context != nullptr) {
    redisFree(context);
    context = nullptr;
  }
  timeval tv;
  tv.tv_sec = second;
  tv.tv_usec = 0;
  context = redisConnectWithTimeout(host, port, tv);
  return context == nullptr ? 1 : 0;
}

int CRedisHelper::Connect() {
  release_reply();
  if (context != nullptr) {
    redisFree(context);
    context = nullptr;
  }
  context = redisConnectWithTimeout(host_.c_str(), port_, timeout);
  return context == nullptr ? 1 : 0;
}

bool CRedisHelper::ping() {
  if (context == nullptr) return false;
  reply = static_cast<redisReply*>(redisCommand(context, "ping"));
  if (reply == nullptr) return false;
  bool pong = reply->type == REDIS_REPLY_STATUS && reply->str != nullptr &&
              std::string(reply->str, reply->len) == "PONG";
  release_reply();
  return pong;
}

int CRedisHelper::integer_command(const char* format, const std::string& a, const std::string& b) {
  if (context == nullptr) return 1;
  reply = static_cast<redisReply*>(redisCommand(context, format, a.c_str(), b.c_str()));
  if (reply == nullptr) return 1;
  int result = static_cast<int>(reply->integer);
  release_reply();
  return result;
}

int CRedisHelper::integer_command_bytes(const char* format, const std::string& a, const std::string& b) {
  if (context == nullptr) return 1;
  reply = static_cast<redisReply*>(redisCommand(context, format, a.c_str(), b.data(), b.size()));
  if (reply == nullptr) return 1;
  int result = static_cast<int>(reply->integer);
  release_reply();
  return result;
}

bool CRedisHelper::string_command(const char* format, const std::string& a, std::string& value) {
  if (context == nullptr) return false;
  reply = static_cast<redisReply*>(redisCommand(context, format, a.c_str()));
  if (reply == nullptr) return false;
  const bool text = reply->type == REDIS_REPLY_STRING;
  if (text) value.assign(reply->str, reply->len);
  release_reply();
  return text;
}

int CRedisHelper::Set(const std::string& key, const std::string& value) {
  return integer_command("SET %s %s", key, value);
}

int CRedisHelper::Enqueue(const std::string& queue, const std::string& value) {
  return integer_command("rpush %s %s", queue, value);
}

int CRedisHelper::Push(const std::string& stack, const std::string& value) {
  return integer_command("rpush %s %s", stack, value);
}

int CRedisHelper::EnqueueBytes(const std::string& queue, const std::string& value) {
  return integer_command_bytes("rpush %s %b", queue, value);
}

int CRedisHelper::Requeue(const std::string& queue, const std::string& value) {
  return integer_command_bytes("lpush %s %b", queue, value);
}

void CRedisHelper::Dequeue(const std::string& queue, std::string& value) {
  string_command("lpop %s", queue, value);
}

void CRedisHelper::Pop(const std::string& stack, std::string& value) {
  string_command("rpop %s", stack, value);
}

void CRedisHelper::Get(const std::string& key, std::string& value) {
  string_command("GET %s", key, value);
}

bool CRedisHelper::TakeHead(const std::string& queue, std::string& value) {
  return string_command("lpop %s", queue, value);
}
