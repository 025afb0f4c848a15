// Writes the seed corpus of the fuzz targets: well-formed frames and whole
// conversations, built by the test helpers' own encoders.
//
//   fuzz_make_corpus DIR      writes DIR/<target>/<name> for every target
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/wire.h"
#include "adapter/constants.h"

namespace {

std::string root;



const Bytes CHUNK = bytesOf("~~~~");

// The parts joined by the chunk separator.
Bytes chunks(std::initializer_list<Bytes> parts) {
    Bytes all;
    bool first = true;
    for (const Bytes& part : parts) {
        if (!first) all.insert(all.end(), CHUNK.begin(), CHUNK.end());
        all.insert(all.end(), part.begin(), part.end());
        first = false;
    }
    return all;
}

void write(const std::string& target, const std::string& name, const Bytes& bytes) {
    std::string dir = root + "/" + target;
    mkdir(root.c_str(), 0755);
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
}

// The first byte of a header_fuzz input: bit 0 waiting reads.
void headerSeeds() {
    write("header_fuzz", "hex_zrinit", concat({{1}, hexHeader(ZRINIT, flags(ZRINIT_FLAGS))}));
    write("header_fuzz", "bin16_zrpos", concat({{0}, bin16Header(ZRPOS, 1234)}));
    write("header_fuzz", "bin32_zdata", concat({{1}, bin32Header(ZDATA, 0)}));
    write("header_fuzz", "bin32_escaped", concat({{1}, bin32Header(ZRPOS, 0x18117F13)}));
    write("header_fuzz", "garbage_then_hex_zfin", concat({{0}, bytesOf("rz\r*x**"), hexHeader(ZFIN, 0)}));
    write("header_fuzz", "bin16_zfile", concat({{1}, bin16Header(ZFILE, flags(ZCBIN))}));
}

// subpacket_fuzz: mode byte (format, file information, buffer size, waiting
// reads, moreData), four bytes of filePosition, then the line.
void subpacketSeeds() {
    const Bytes at0 = {0, 0, 0, 0};
    const Bytes at1024 = {0, 4, 0, 0};
    write("subpacket_fuzz", "bin16_data_zcrcg", concat({{0x40 | 0x80}, at0, subpacket16(pattern(200, 1), ZCRCG)}));
    write("subpacket_fuzz", "bin32_data_zcrce", concat({{0x42}, at1024, subpacket32(pattern(300, 2), ZCRCE)}));
    write("subpacket_fuzz", "hex_data_zcrcw", concat({{0x41}, at0, subpacket16(pattern(40, 3), ZCRCW)}));
    write("subpacket_fuzz", "file_info16", concat({{0x44}, at0, subpacket16(fileInfo("report.pdf", "1234 0 0 0"), ZCRCW)}));
    write("subpacket_fuzz", "file_info32", concat({{0x46}, at0, subpacket32(fileInfo("dir/../../x", "5 0 0 0"), ZCRCW)}));
    write("subpacket_fuzz", "too_long_small_buffer", concat({{0x40 | (4 << 3)}, at0, subpacket16(pattern(20, 4), ZCRCG)}));
}

Bytes offer16(const std::string& name, size_t length) {
    return concat({bin16Header(ZFILE, flags(ZCBIN)),
                   subpacket16(fileInfo(name, std::to_string(length) + " 0 0 0"), ZCRCW)});
}
Bytes offer32(const std::string& name, size_t length) {
    return concat({bin32Header(ZFILE, flags(ZCBIN)),
                   subpacket32(fileInfo(name, std::to_string(length) + " 0 0 0"), ZCRCW)});
}

// receive_session_fuzz: the sender's chunks, one per engine header.
void receiveSeeds() {
    Bytes one = pattern(1500, 5);
    for (int b : {0x18, 0x11, 0x13, 0x10, 0x7F, 0xFF, 0x91, 0x93, 0x98, 0x90}) one.push_back(static_cast<uint8_t>(b));
    Bytes two = pattern(1100, 6);
    const Bytes fin = hexHeader(ZFIN, 0);
    write("receive_session_fuzz", "one_file_crc16",
          chunks({offer16("one.bin", one.size()),
                  concat({bin16Header(ZDATA, 0), subpacket16(slice(one, 0, 1024), ZCRCG),
                          subpacket16(slice(one, 1024, one.size()), ZCRCE),
                          hexHeader(ZEOF, static_cast<uint32_t>(one.size()))}),
                  fin, bytesOf("OO")}));
    write("receive_session_fuzz", "two_files_crc32",
          chunks({offer32("a", 100),
                  concat({bin32Header(ZDATA, 0), subpacket32(pattern(100, 7), ZCRCE), bin32Header(ZEOF, 100)}),
                  offer32("b", two.size()),
                  concat({bin32Header(ZDATA, 0), subpacket32(slice(two, 0, 1024), ZCRCW)}),
                  concat({bin32Header(ZDATA, 1024), subpacket32(slice(two, 1024, two.size()), ZCRCE),
                          bin32Header(ZEOF, static_cast<uint32_t>(two.size()))}),
                  fin, bytesOf("OO")}));
    write("receive_session_fuzz", "zrqinit_then_resend_after_crc_error",
          chunks({hexHeader(ZRQINIT, 0), offer16("r.txt", 50),
                  concat({bin16Header(ZDATA, 0), subpacket16(pattern(20, 8), ZCRCG), bytesOf("noise")}),
                  concat({bin16Header(ZDATA, 20), subpacket16(pattern(30, 9), ZCRCE), hexHeader(ZEOF, 50)}),
                  fin, bytesOf("OO")}));
    write("receive_session_fuzz", "unsafe_name_skipped",
          chunks({offer16("../escape", 10), offer16("/tmp/absolute", 10), fin, bytesOf("OO")}));
}

// send_session_fuzz: the receiver's chunks, one each time the engine has
// written and finds the line empty (after each subpacket too).
void sendSeeds() {
    const Bytes zrinit = hexHeader(ZRINIT, flags(ZRINIT_FLAGS));
    const Bytes none;
    write("send_session_fuzz", "whole_transfer",
          chunks({zrinit, hexHeader(ZRPOS, 0), none, none, none, none, zrinit, hexHeader(ZFIN, 0)}));
    write("send_session_fuzz", "rewind_mid_stream",
          chunks({zrinit, hexHeader(ZRPOS, 0), hexHeader(ZRPOS, 1024), none, none, hexHeader(ZRPOS, 2048), none, none,
                  zrinit, hexHeader(ZFIN, 0)}));
    write("send_session_fuzz", "skip_file", chunks({zrinit, hexHeader(ZSKIP, 0), hexHeader(ZFIN, 0)}));
    write("send_session_fuzz", "crc32_headers_resume",
          chunks({bin32Header(ZRINIT, flags(ZRINIT_FLAGS)), bin32Header(ZRPOS, 3000), none, none,
                  bin32Header(ZRINIT, 0), bin32Header(ZFIN, 0)}));
    write("send_session_fuzz", "zrinit_again_then_past_end",
          chunks({zrinit, zrinit, hexHeader(ZRPOS, 99999), zrinit, hexHeader(ZFIN, 0)}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: fuzz_make_corpus DIR\n");
        return 1;
    }
    root = argv[1];
    headerSeeds();
    subpacketSeeds();
    receiveSeeds();
    sendSeeds();
    return 0;
}
