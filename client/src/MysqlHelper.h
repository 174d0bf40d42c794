// One MySQL connection (CMysqlHelper) and the rows of one query result (CMysqlResult).
// Thin wrappers over the MariaDB/MySQL client library: no retry, no pooling, no log
// lines; failures show as -1, null or false and the error text stays in the handle.
// Both are not copyable and are used from one thread. The caller deletes the
// CMysqlResult that ExecuteQuery returns; the result owns its MYSQL_RES.
#ifndef ORDER_SYNC_MYSQLHELPER_H
#define ORDER_SYNC_MYSQLHELPER_H

#include <mysql.h>

#include <string>

#include "noncopyable.h"

class CMysqlResult : private noncopyable {
 public:
  explicit CMysqlResult(MYSQL_RES* res);  // takes ownership of res
  ~CMysqlResult();                        // mysql_free_result

  bool HasNext();                // moves to the next row; false at the end
  unsigned long long GetRows();  // rows in the result

  // Columns of the current row (only after HasNext() returned true). An SQL NULL or a
  // column outside the row reads as null for GetChar and 0 for the numbers.
  const char* GetChar(int col);
  int GetInt(int col);      // strtol, base 10
  long GetLong(int col);    // strtol, base 10
  float GetFloat(int col);  // strtod

 private:
  MYSQL_RES* res_;
  MYSQL_ROW row_;
};

class CMysqlHelper : private noncopyable {
 public:
  // Stores the settings and initialises the handle; no connection is made.
  CMysqlHelper(const std::string& host, unsigned int port, const std::string& user, const std::string& passwd);
  ~CMysqlHelper();  // mysql_close

  // Ends any connection held, then connects over TCP with no default database and with
  // multi-statements and multi-results on. 0 on success, -1 on failure.
  int Connect();
  int UseDB(const std::string& db);  // mysql_select_db: 0 on success
  bool IsConnected();                // mysql_ping answers

  // The first result of sql, or null when the statement failed or returned no rows
  // (an update). Every further result of a multi-statement is read and freed, so the
  // connection is ready for the next statement.
  CMysqlResult* ExecuteQuery(const std::string& sql);

  // Rows affected by the first statement of sql; 0 when it failed. Further results are
  // drained as in ExecuteQuery.
  int ExecuteNonQuery(const std::string& sql);

 private:
  void drain_results();

  std::string host_;
  unsigned int port_;
  std::string user_;
  std::string passwd_;
  MYSQL mysql_;
};

#endif
