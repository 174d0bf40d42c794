#include "MysqlHelper.h"

#include <cstdlib>
#include <new>

CMysqlResult::CMysqlResult(MYSQL_RES* res) : res_(res), row_(nullptr) {}

CMysqlResult::~CMysqlResult() {
  if (res_ != nullptr) mysql_free_result(res_);
}

bool CMysqlResult::HasNext() {
  if (res_ == nullptr) return false;
  row_ = mysql_fetch_row(res_);
  return row_ != nullptr;
}

unsigned long long CMysqlResult::GetRows() {
  return res_ == nullptr ? 0 : static_cast<unsigned long long>(mysql_num_rows(res_));
}

const char* CMysqlResult::GetChar(int col) {
  if (res_ == nullptr || row_ == nullptr || col < 0 || static_cast<unsigned int>(col) >= mysql_num_fields(res_))
    return nullptr;
  return row_[col];
}

int CMysqlResult::GetInt(int col) { return static_cast<int>(GetLong(col)); }

long CMysqlResult::GetLong(int col) {
  const char* text = GetChar(col);
  return text == nullptr ? 0 : std::strtol(text, nullptr, 10);
}

float CMysqlResult::GetFloat(int col) {
  const char* text = GetChar(col);
  return text == nullptr ? 0.0f : static_cast<float>(std::strtod(text, nullptr));
}

CMysqlHelper::CMysqlHelper(const std::string& host, unsigned int port, const std::string& user,
                           const std::string& passwd)
    : host_(host), port_(port), user_(user), passwd_(passwd) {
  mysql_init(&mysql_);
}

CMysqlHelper::~CMysqlHelper() { mysql_close(&mysql_); }

int CMysqlHelper::Connect() {
  // mysql_close releases what the handle holds; it must be initialised again before use.
  mysql_close(&mysql_);
  mysql_init(&mysql_);
  unsigned int connect_timeout = 5;
  mysql_options(&mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  MYSQL* m = mysql_real_connect(&mysql_, host_.c_str(), user_.c_str(), passwd_.c_str(), nullptr, port_, nullptr,
                                CLIENT_MULTI_STATEMENTS | CLIENT_MULTI_RESULTS);
  return m == nullptr ? -1 : 0;
}

int CMysqlHelper::UseDB(const std::string& db) { return mysql_select_db(&mysql_, db.c_str()); }

bool CMysqlHelper::IsConnected() { return mysql_ping(&mysql_) == 0; }

void CMysqlHelper::drain_results() {
  // Results left unread would make every later statement fail ("commands out of sync").
  while (mysql_next_result(&mysql_) == 0) {
    MYSQL_RES* more = mysql_store_result(&mysql_);
    if (more != nullptr) mysql_free_result(more);
  }
}

CMysqlResult* CMysqlHelper::ExecuteQuery(const std::string& sql) {
  if (mysql_real_query(&mysql_, sql.data(), sql.size()) != 0) return nullptr;
  MYSQL_RES* res = mysql_store_result(&mysql_);
  drain_results();
  if (res == nullptr) return nullptr;
  CMysqlResult* result = new (std::nothrow) CMysqlResult(res);
  if (result == nullptr) mysql_free_result(res);
  return result;
}

int CMysqlHelper::ExecuteNonQuery(const std::string& sql) {
  if (mysql_real_query(&mysql_, sql.data(), sql.size()) != 0) return 0;
  MYSQL_RES* res = mysql_store_result(&mysql_);
  my_ulonglong affected = mysql_affected_rows(&mysql_);
  if (res != nullptr) mysql_free_result(res);
  drain_results();
  if (affected == static_cast<my_ulonglong>(-1)) return 0;
  return static_cast<int>(affected);
}
