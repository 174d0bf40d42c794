// Settings of the order-sync client, read once at start from an INI file (path on the
// command line) into the process-wide record g_conf. Sections and keys are described in
// conf/order_sync_client.ini. Nothing is reloaded while the program runs.
#ifndef ORDER_SYNC_CONF_H
#define ORDER_SYNC_CONF_H

#include <cstdio>
#include <string>
#include <vector>

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
  char sending_list[192];      // this instance's list of the orders in hand
  char log_dir[128];           // directory of the process log
  int log_level;               // highest level of the process log (4..7)
  int order_pause_ms;          // pause after each sent order, in milliseconds (0: none)
  char redis_sentinels[352];   // "ip:port,..." of the sentinels (16 of 21 characters fit, with their
                               // commas); with redis_master set,
  char redis_master[64];       // the master is found through them instead of redis_ip
  char auth_key_file[256];     // the signer's private key file; "" sends no token
};

extern conf_s g_conf;

// What reading a settings file found: every setting that start-up refuses, and every
// optional setting that is missing, with the default used instead. Each message names
// the section and the key.
struct conf_notes_s {
  std::vector<std::string> problems;
  std::vector<std::string> fallbacks;
};

// Reads every setting of `file` into *conf and notes every problem and fall-back.
// Returns 0 when there is no problem, else -1 (*conf is then partly filled).
int read_conf(const char* file, conf_s* conf, conf_notes_s* notes);

// read_conf for start-up: on failure *error holds the first problem.
int load_conf(const char* file, conf_s* conf, std::string* error);

// The settings check (order_sync_client -t FILE): writes every problem and fall-back to
// `out`, each after the file name, and a last line with the verdict. 0 when the program
// would start with these settings, 1 when not. Connects nowhere and writes no log.
int check_conf(const char* file, FILE* out);

#endif
