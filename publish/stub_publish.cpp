// Placeholder until the fix record writer lands.
#include "publish/publish.h"
static Json::Value g_fix;
int saveGpsDataSysdb(Json::Value&) { return -1; }
const Json::Value& fix_record() { return g_fix; }
void publish_reset_for_test() {}
