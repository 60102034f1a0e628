// Placeholder until the system database lands.
#include "platform/sysdb.h"

int sysdb_init(sysdb_context*, int) { return -1; }
int sysdb_txn_start(sysdb_context*, const char*, int) { return -1; }
int sysdb_write_str(sysdb_context*, const char*, const char*, int) { return -1; }
int sysdb_write_int(sysdb_context*, const char*, int, int) { return -1; }
int sysdb_write_dbl(sysdb_context*, const char*, int, double) { return -1; }
int sysdb_write_json(sysdb_context*, const char*, const Json::Value&, int) { return -1; }
int sysdb_txn_end(sysdb_context*) { return -1; }
int sysdb_exit(sysdb_context*) { return -1; }
int sysdb_namedb_read_int(void*, const char*, const char*, int*) { return -1; }
int sysdb_namedb_read_dbl(void*, const char*, const char*, double*) { return -1; }
int sysdb_namedb_read_str(void*, const char*, const char*, char*, size_t) { return -1; }
int sysdb_namedb_write_int(void*, const char*, const char*, int, int) { return -1; }
int sysdb_namedb_write_dbl(void*, const char*, const char*, double, int) { return -1; }
int sysdb_namedb_write_str(void*, const char*, const char*, const char*, int) { return -1; }
int sysdb_namedb_write_json(void*, const char*, const char*, const Json::Value&, int) { return -1; }
int sysdb_namedb_del(void*, const char*, const char*) { return -1; }
int sysdb_namedb_read_value(void*, const char*, const char*, sysdb_value*) { return -1; }
int sysdb_namedb_list(void*, const char*, std::vector<std::pair<std::string, sysdb_value>>*) {
    return -1;
}
const char* sysdb_path() { return ""; }
void sysdb_reset_thread_connection() {}

