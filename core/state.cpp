#include "core/core.h"

std::atomic<bool> need_to_quit{false};
std::atomic<gpsMqtt*> gps_mqtt_client{nullptr};
std::atomic<bool> deadreckon_enabled{false};
std::mutex sysdb_mutex;
int32_t last_session_count = -1;
bool ttffPending = true;
std::atomic<int32_t> nmea_timeout_count{0};
int32_t xtra_pass_count = 0;

const char* gps_status_text(GPS_STATUS status) {
    switch (status) {
        case GPS_STATUS_INACTIVE:
            return "INACTIVE";
        case GPS_STATUS_ACTIVE:
            return "ACTIVE";
        default:
            return "UNKNOWN";
    }
}
