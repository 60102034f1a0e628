// Fix publication: FixRecord and the "GPS" batch written every processing pass.
#pragma once

#include <json/json.h>

#include <cstdint>

#include "sentences/sentences.h"

namespace sysdb {
class Database;
}

// The fix record writer. It owns FixRecord, the first-fix state and the sentence generator;
// main thread only.
class FixWriter {
public:
    explicit FixWriter(sysdb::Database& db) : db_(db) {}

    // One transaction on "GPS" with the snapshot, the scalar keys, the first-fix keys, the
    // sentences and FixRecord. 0 when the batch was written, -1 otherwise. The first batch, and
    // one in kDurableEvery after it, reaches storage at its commit, so that a power cut takes
    // back at most the passes since, and not the last valid position of a minute or more.
    int saveGpsDataSysdb(Json::Value& snapshot);
    static constexpr int kDurableEvery = 10;
    // The device's session count read at a session's start: a count other than the last one
    // seen makes the next valid pass write the first-fix keys again.
    void note_session_count(int32_t count);

    const Json::Value& fix_record() const { return fix_; }  // null before the first call
    bool ttff_pending() const { return ttff_pending_; }

private:
    sysdb::Database& db_;
    Json::Value fix_;
    bool ttff_pending_ = true;  // the next valid pass writes "GPS_TTFF_*"
    int32_t last_session_count_ = -1;
    int since_durable_ = kDurableEvery;  // batches committed since the last durable one
    SentenceGenerator sentences_;
};

// Earth-centred earth-fixed "xPosition", "yPosition", "zPosition" of FixRecord from its
// "latitude", "longitude" (radians) and "altitude" (metres), on the WGS-84 ellipsoid.
void toGeocentric(Json::Value& fix);
