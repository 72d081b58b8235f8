#include "session/session_writer.h"

namespace session {

bool SessionWriter::open(const std::string& path, const SessionHeader& h, std::string* error) {
    if (!out_.open(path, error)) return false;
    next_ = 1;
    crc_.clear();
    Json line;
    line["n"] = next_;
    line["ev"] = "session";
    line["format"] = FORMAT_NAME;
    line["version"] = FORMAT_VERSION;
    line["program"] = h.program;
    line["command"] = h.command;
    line["started"] = h.started;
    line["scale"] = h.scale;
    line["payload"] = h.wholePayload ? PAYLOAD_WHOLE : PAYLOAD_HASHED;
    addLine(line);
    return true;
}

void SessionWriter::addLine(Json& line, const void* hexData, size_t hexCount) {
    // Texts are ASCII by construction (putBytes); anything else is replaced rather than
    // allowed to stop the recording.
    std::string body = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    body.pop_back();  // the closing brace: the seal goes before it
    if (hexData != nullptr) {
        static const char digits[] = "0123456789abcdef";
        const unsigned char* p = static_cast<const unsigned char*>(hexData);
        size_t at = body.size() + 8;
        body += ",\"hex\":\"";
        body.resize(at + 2 * hexCount);
        for (size_t i = 0; i < hexCount; ++i) {
            body[at + 2 * i] = digits[p[i] >> 4];
            body[at + 2 * i + 1] = digits[p[i] & 15];
        }
        body += '"';
    }
    std::string seal = sealOf(crc_, body);
    body += ",\"crc\":\"" + seal + "\"}\n";
    out_.append(body.data(), body.size());
    crc_ = seal;
    ++next_;
}

void SessionWriter::add(int64_t t, const char* ev, const Json& fields) {
    addWithHex(t, ev, fields, nullptr, 0);
}

void SessionWriter::addWithHex(int64_t t, const char* ev, const Json& fields, const void* data,
                               size_t count) {
    if (!out_.isOpen()) return;
    Json line;
    line["n"] = next_;
    line["t"] = t < 0 ? 0 : t;
    line["ev"] = ev;
    if (fields.is_object())
        for (auto it = fields.begin(); it != fields.end(); ++it)
            if (it.key() != "n" && it.key() != "t" && it.key() != "ev" && it.key() != "crc")
                line[it.key()] = it.value();
    addLine(line, data, count);
}

bool SessionWriter::close(int64_t t, bool interrupted) {
    if (!out_.isOpen()) return false;
    Json f;
    f["lines"] = next_;
    f["interrupted"] = interrupted;
    add(t, "end", f);
    return out_.close();
}

}  // namespace session
