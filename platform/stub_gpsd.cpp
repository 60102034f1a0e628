// Placeholder until the gpsd client lands.
#include "platform/gpsd_client.h"

gpsdClient::gpsdClient(const char* name) : name_(name) {}
gpsdClient::~gpsdClient() {}
void gpsdClient::set_polling_timeout(unsigned int) {}
void gpsdClient::set_on_msg_callback_fkt(msg_callback) {}
void gpsdClient::set_timeout_callback_fkt(timeout_callback) {}
void gpsdClient::set_gpsd_stream_flags(unsigned int) {}
int gpsdClient::get_gpsd_forever_non_blocking() { return -1; }
void gpsdClient::stop_loop() {}
int restart_gps_engine() { return -1; }
