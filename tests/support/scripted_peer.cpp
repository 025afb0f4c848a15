#include "tests/support/scripted_peer.h"

#include <algorithm>

#include "adapter/constants.h"

ScriptedPeer& ScriptedPeer::on(uint8_t type, const Bytes& reply, int times) {
    steps_.push_back({type, nullptr, reply, times, nullptr});
    return *this;
}

ScriptedPeer& ScriptedPeer::when(std::function<bool(const Bytes&)> predicate, const Bytes& reply) {
    steps_.push_back({-1, std::move(predicate), reply, 1, nullptr});
    return *this;
}

ScriptedPeer& ScriptedPeer::always(uint8_t type, const Bytes& reply) {
    standing_.push_back({type, nullptr, reply, 0, nullptr});
    return *this;
}

ScriptedPeer& ScriptedPeer::always(uint8_t type, std::function<Bytes(uint32_t)> reply) {
    standing_.push_back({type, nullptr, {}, 0, std::move(reply)});
    return *this;
}

ScriptedPeer& ScriptedPeer::acknowledge(bool queries) {
    acking_ = true;
    ackQueries_ = queries;
    return *this;
}

void ScriptedPeer::acknowledgeData(MemoryLine& line) {
    if (!inFrame_) return;
    for (const SeenSubpacket& sub : subpacketsAt(line.output, dataCursor_, frameCrc32_)) {
        dataCursor_ = sub.end;
        dataOffset_ += static_cast<uint32_t>(sub.data.size());
        if (dataOffset_ - lastAck_ > mostUnacknowledged_) mostUnacknowledged_ = dataOffset_ - lastAck_;
        if (sub.frameEnd == ZCRCW || (ackQueries_ && sub.frameEnd == ZCRCQ)) {
            feed(line, hexHeader(ZACK, dataOffset_));
            lastAck_ = dataOffset_;
        }
        if (sub.frameEnd != ZCRCG && sub.frameEnd != ZCRCQ) inFrame_ = false;
    }
}

void ScriptedPeer::attach(MemoryLine& line) {
    line.peer = [this](MemoryLine& l) { serve(l); };
}

void ScriptedPeer::serve(MemoryLine& line) {
    for (const SeenHeader& header : headersIn(line.output, cursor_)) {
        cursor_ = header.end;
        if (acking_ && header.type == ZDATA) {
            acknowledgeData(line);  // the frame before this one
            inFrame_ = true;
            frameCrc32_ = header.format == 'C';
            dataCursor_ = header.end;
            dataOffset_ = header.data;
            if (lastAck_ > dataOffset_) lastAck_ = dataOffset_;
        }
        auto standing = std::find_if(standing_.begin(), standing_.end(),
                                     [&](const Step& step) { return step.type == header.type; });
        if (standing != standing_.end()) {
            feed(line, standing->makeReply ? standing->makeReply(header.data) : standing->reply);
            continue;
        }
        if (next_ >= steps_.size()) continue;
        Step& step = steps_[next_];
        if (step.type != header.type) continue;
        feed(line, step.reply);
        if (--step.times == 0) next_++;
    }
    if (acking_) acknowledgeData(line);
    if (next_ < steps_.size() && steps_[next_].type < 0 && steps_[next_].predicate(line.output)) {
        feed(line, steps_[next_].reply);
        next_++;
    }
}

namespace {

// One escaped byte; sets frameEnd when it is ZDLE and a frame-end code.
bool nextByte(const Bytes& out, size_t& pos, uint8_t& value, bool& frameEnd) {
    frameEnd = false;
    if (pos >= out.size()) return false;
    uint8_t b = out[pos++];
    if (b != ZDLE) {
        value = b;
        return true;
    }
    if (pos >= out.size()) return false;
    uint8_t c = out[pos++];
    if (c >= ZCRCE && c <= ZCRCW) {
        frameEnd = true;
        value = c;
    } else {
        value = c == ZRUB0 ? 0x7F : c == ZRUB1 ? 0xFF : static_cast<uint8_t>(c ^ 0x40);
    }
    return true;
}

}  // namespace

std::vector<SeenSubpacket> subpacketsAt(const Bytes& output, size_t from, bool crc32) {
    std::vector<SeenSubpacket> found;
    size_t pos = from;
    while (true) {
        SeenSubpacket sub{{}, 0, false, 0, crc32};
        uint8_t value = 0;
        bool frameEnd = false;
        while (nextByte(output, pos, value, frameEnd) && !frameEnd) sub.data.push_back(value);
        if (!frameEnd) return found;
        sub.frameEnd = value;
        uint32_t crc = 0;
        for (int i = 0; i < (crc32 ? 4 : 2); i++) {
            if (!nextByte(output, pos, value, frameEnd)) return found;
            crc = crc32 ? crc | static_cast<uint32_t>(value) << (8 * i) : (crc << 8) | value;
        }
        Bytes covered = sub.data;
        covered.push_back(sub.frameEnd);
        sub.crcGood = (crc32 ? referenceCrc32(covered) : referenceCrc16(covered)) == crc;
        sub.end = pos;
        found.push_back(sub);
        if (sub.frameEnd != ZCRCG && sub.frameEnd != ZCRCQ) return found;
    }
}

std::vector<SeenSubpacket> subpacketsAfter(const Bytes& output, uint8_t headerType, size_t n) {
    for (const SeenHeader& header : headersIn(output))
        if (header.type == headerType && n-- == 0) return subpacketsAt(output, header.end, header.format == 'C');
    return {};
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) count++;
    return count;
}
