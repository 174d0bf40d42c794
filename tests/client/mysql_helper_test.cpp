// CMysqlHelper and CMysqlResult against a real MariaDB server started for this suite.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "MysqlHelper.h"
#include "mariadb_server.h"

using testsupport::MariaDbServer;

namespace {

class MysqlHelperTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = new MariaDbServer();
    if (!server_->start()) {
      error_ = server_->error();
      delete server_;
      server_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(nullptr, server_) << error_;
    db_.reset(new CMysqlHelper("127.0.0.1", static_cast<unsigned>(server_->port()), "root", ""));
    ASSERT_EQ(0, db_->Connect());
    ASSERT_TRUE(db_->IsConnected());
    db_->ExecuteNonQuery("CREATE DATABASE IF NOT EXISTS shop");
    ASSERT_EQ(0, db_->UseDB("shop"));
  }

  static MariaDbServer* server_;
  static std::string error_;
  std::unique_ptr<CMysqlHelper> db_;
};

MariaDbServer* MysqlHelperTest::server_ = nullptr;
std::string MysqlHelperTest::error_;

TEST_F(MysqlHelperTest, QueryWalksRowsWithNullColumnsAndAnUpdateReturnsNull) {
  db_->ExecuteNonQuery("DROP TABLE IF EXISTS orders");
  EXPECT_EQ(
      0, db_->ExecuteNonQuery("CREATE TABLE orders (id INT PRIMARY KEY, name VARCHAR(32), qty BIGINT, price DOUBLE)"));
  EXPECT_EQ(3, db_->ExecuteNonQuery(
                   "INSERT INTO orders VALUES (1,'apple',3000000000,1.5),(2,NULL,NULL,NULL),(3,'pear',-7,0.25)"));

  std::unique_ptr<CMysqlResult> res(db_->ExecuteQuery("SELECT id,name,qty,price FROM orders ORDER BY id"));
  ASSERT_NE(nullptr, res);
  EXPECT_EQ(3u, res->GetRows());
  ASSERT_TRUE(res->HasNext());
  EXPECT_EQ(1, res->GetInt(0));
  EXPECT_STREQ("apple", res->GetChar(1));
  EXPECT_EQ(3000000000L, res->GetLong(2));
  EXPECT_FLOAT_EQ(1.5f, res->GetFloat(3));
  EXPECT_EQ(nullptr, res->GetChar(4));  // beyond the row
  ASSERT_TRUE(res->HasNext());
  EXPECT_EQ(nullptr, res->GetChar(1));
  EXPECT_EQ(0, res->GetInt(2));
  EXPECT_EQ(0L, res->GetLong(2));
  EXPECT_FLOAT_EQ(0.0f, res->GetFloat(3));
  ASSERT_TRUE(res->HasNext());
  EXPECT_EQ(-7, res->GetInt(2));
  EXPECT_FALSE(res->HasNext());

  EXPECT_EQ(nullptr, db_->ExecuteQuery("UPDATE orders SET qty = qty + 1 WHERE id = 3"));
  EXPECT_EQ(2, db_->ExecuteNonQuery("UPDATE orders SET qty = 0 WHERE id IN (1,3)"));
  EXPECT_EQ(0, db_->ExecuteNonQuery("UPDATE orders SET qty = 0 WHERE id = 99"));

  std::unique_ptr<CMysqlResult> none(db_->ExecuteQuery("SELECT id FROM orders WHERE id = 99"));
  ASSERT_NE(nullptr, none);  // an empty result set is still a result
  EXPECT_EQ(0u, none->GetRows());
  EXPECT_FALSE(none->HasNext());
}

TEST_F(MysqlHelperTest, MultiStatementResultsAreAllDrained) {
  // Three results: the first is returned, the other two must not be left unread or the
  // next statement fails with "commands out of sync".
  std::unique_ptr<CMysqlResult> res(db_->ExecuteQuery("SELECT 1; SELECT 2; SELECT 3"));
  ASSERT_NE(nullptr, res);
  ASSERT_TRUE(res->HasNext());
  EXPECT_EQ(1, res->GetInt(0));
  res.reset(db_->ExecuteQuery("SELECT 'next'"));
  ASSERT_NE(nullptr, res);
  ASSERT_TRUE(res->HasNext());
  EXPECT_STREQ("next", res->GetChar(0));

  // An update first and a select second: no first result, and the connection stays usable.
  db_->ExecuteNonQuery("DROP TABLE IF EXISTS t; CREATE TABLE t (v INT); INSERT INTO t VALUES (5)");
  EXPECT_EQ(nullptr, db_->ExecuteQuery("UPDATE t SET v = 6; SELECT v FROM t"));
  res.reset(db_->ExecuteQuery("SELECT v FROM t"));
  ASSERT_NE(nullptr, res);
  ASSERT_TRUE(res->HasNext());
  EXPECT_EQ(6, res->GetInt(0));
}

TEST_F(MysqlHelperTest, FailuresAreReportedByResultsOnly) {
  EXPECT_EQ(nullptr, db_->ExecuteQuery("SELECT * FROM no_such_table"));
  EXPECT_EQ(0, db_->ExecuteNonQuery("INSERT INTO no_such_table VALUES (1)"));
  EXPECT_NE(0, db_->UseDB("no_such_db"));
  EXPECT_TRUE(db_->IsConnected());
  // Connect again on a live helper: the old connection is ended, a new one works.
  EXPECT_EQ(0, db_->Connect());
  EXPECT_TRUE(db_->IsConnected());

  CMysqlHelper wrong("127.0.0.1", static_cast<unsigned>(server_->port()), "nobody", "bad");
  EXPECT_EQ(-1, wrong.Connect());
  EXPECT_FALSE(wrong.IsConnected());
  EXPECT_EQ(nullptr, wrong.ExecuteQuery("SELECT 1"));

  CMysqlHelper never("127.0.0.1", static_cast<unsigned>(testsupport::free_port()), "root", "");
  EXPECT_EQ(-1, never.Connect());
  EXPECT_FALSE(never.IsConnected());
}

}  // namespace
