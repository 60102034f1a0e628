// Fix publication: FixRecord and the "GPS" batch written every processing pass.
#pragma once

#include <json/json.h>

// One transaction on "GPS" with the snapshot, the scalar keys, the sentences and FixRecord.
// 0 when the batch was written, -1 otherwise.
int saveGpsDataSysdb(Json::Value& snapshot);

// FixRecord, as the writer holds it (null before the first call). Main thread only.
const Json::Value& fix_record();
void publish_reset_for_test();

// Earth-centred earth-fixed "xPosition", "yPosition", "zPosition" of FixRecord from its
// "latitude", "longitude" (radians) and "altitude" (metres), on the WGS-84 ellipsoid.
void toGeocentric(Json::Value& fix);
