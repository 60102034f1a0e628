// JSON text helpers: the look before the reader, and the one-line form.
#include "platform/base/base.h"

std::string compact_json(const Json::Value& value) {
    Json::FastWriter writer;
    writer.omitEndingLineFeed();
    return writer.write(value);
}

bool json_text_acceptable(const char* text, size_t len, int max_depth, bool reject_comments) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < len; ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '/') {
            if (reject_comments) return false;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}
