// Settings of the order-sync client, read once at start from an INI file (path on the
// command line) into the process-wide record g_conf. Sections and keys are described in
// conf/order_sync_client.ini. Nothing is reloaded while the program runs.
#ifndef ORDER_SYNC_CONF_H
#define ORDER_SYNC_CONF_H

#include <string>

struct conf_s {
  char server_ip[16];          // gateway address, dotted IPv4
  unsigned short server_port;  // gateway port
  char redis_ip[16];           // Redis address, dotted IPv4
  unsigned short redis_port;   // Redis port
  char redis_key[64];          // name of the Redis list holding the orders
  char mysql_ip[16];           // MySQL address (for the MySQL helper)
  unsigned short mysql_port;   // MySQL port
  char mysql_username[64];     // MySQL user
  char mysql_password[64];     // MySQL password
  char mysql_db[64];           // MySQL database
  int client_id;               // id sent in every packet
  char log_dir[128];           // directory of the process log
  int log_level;               // highest level of the process log (4..7)
};

extern conf_s g_conf;

// Reads every setting of `file` into *conf. Returns 0 on success. On a missing file, a
// missing required key or an invalid value returns -1 and puts a message naming the
// section and key into *error; *conf is then left partly filled.
int load_conf(const char* file, conf_s* conf, std::string* error);

#endif
