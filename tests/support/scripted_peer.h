// A scripted peer for the in-memory line: a list of steps, each "when the
// engine has written this (a header of a given type, or whatever a predicate
// recognises in its output), put these bytes on the line". Steps are taken in
// order; a header that does not match the next step is passed over.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/memory_line.h"
#include "tests/support/wire.h"

class ScriptedPeer {
public:
    // Answers the next `times` headers of this type with the reply.
    ScriptedPeer& on(uint8_t type, const Bytes& reply, int times = 1);
    // Answers every header of this type, wherever it comes, outside the order of the steps.
    ScriptedPeer& always(uint8_t type, const Bytes& reply);
    // Answers every header of this type with a reply made from its data (ZP0 least significant).
    ScriptedPeer& always(uint8_t type, std::function<Bytes(uint32_t data)> reply);
    // Answers once, the first time the predicate holds on the engine's output.
    ScriptedPeer& when(std::function<bool(const Bytes& output)> predicate, const Bytes& reply);
    // Answers every ZCRCW subpacket of the data, and every ZCRCQ one when
    // queries is set, with a ZACK of the offset reached, as a receiver does.
    ScriptedPeer& acknowledge(bool queries);
    // The most data the engine had sent beyond the last ZACK, whenever it read.
    uint32_t mostUnacknowledged() const { return mostUnacknowledged_; }
    // Installs the script as the line's peer; the script must outlive the run.
    void attach(MemoryLine& line);
    // Steps not yet taken.
    size_t remaining() const { return steps_.size() - next_; }

private:
    struct Step {
        int type;  // -1: predicate step
        std::function<bool(const Bytes&)> predicate;
        Bytes reply;
        int times;
        std::function<Bytes(uint32_t)> makeReply;  // standing steps only; else reply
    };
    void serve(MemoryLine& line);
    void acknowledgeData(MemoryLine& line);

    std::vector<Step> steps_;
    std::vector<Step> standing_;
    size_t next_ = 0;
    size_t cursor_ = 0;  // output already examined for headers
    bool acking_ = false, ackQueries_ = false;
    bool inFrame_ = false;       // subpackets of a ZDATA frame may follow dataCursor_
    bool frameCrc32_ = false;
    size_t dataCursor_ = 0;      // output examined for subpackets
    uint32_t dataOffset_ = 0;    // file offset at dataCursor_
    uint32_t lastAck_ = 0;
    uint32_t mostUnacknowledged_ = 0;
};

// A data subpacket as the engine wrote it, decoded by the peer.
struct SeenSubpacket {
    Bytes data;
    uint8_t frameEnd;
    bool crcGood;  // the CRC of data and frame end matches
    size_t end;    // offset just past the subpacket in the output
    bool crc32;    // it carries a CRC-32
};

// The subpackets (CRC-16, or CRC-32) that follow output[from]: back to back
// while they end with ZCRCG or ZCRCQ, up to and including the first with
// another frame end.
std::vector<SeenSubpacket> subpacketsAt(const Bytes& output, size_t from, bool crc32 = false);
// The subpackets after the n-th (0-based) header of the given type.
std::vector<SeenSubpacket> subpacketsAfter(const Bytes& output, uint8_t headerType, size_t n = 0);
// Occurrences of text in a string.
size_t countOf(const std::string& text, const std::string& part);
