#pragma once
// DIAG requests for NV items and the checks on their answers.
//
// Lengths are what the caller hands to the exchange routine: the link leaves the last byte of
// every request off the wire (it is the high byte of the status word, always zero), so a 133-byte
// NV read goes out as 132 bytes and a 138-byte subsystem request as 137.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace diag {

constexpr size_t kNvDataSize = 128;  // every NV item carries 128 data bytes
constexpr size_t kAnswerSize = 256;  // each caller's answer buffer
constexpr size_t kRequestArea = 138; // the largest request we build
constexpr uint16_t kNvItemImei = 550;

constexpr uint8_t kCmdNvRead = 0x26;
constexpr uint8_t kCmdNvWrite = 0x27;
constexpr uint8_t kCmdSubsystem = 0x4B;
constexpr uint8_t kSubsysNv = 0x30;
constexpr uint8_t kSubsysEfs = 0x13;
constexpr uint16_t kNvReadExt = 0x0001;  // subsystem NV read with a context
constexpr uint16_t kNvWriteExt = 0x0002; // subsystem NV write with a context
constexpr uint16_t kSim1Context = 1;

// Plain NV read/write: cmd, item u16, data 3-130, status u16 at 131-132.
constexpr uint16_t kNvRequestLength = 133;
constexpr size_t kNvDataOffset = 3;
constexpr size_t kNvStatusOffset = 131;
// Subsystem NV with a context: 4B 30 cmd u16, item u16 at 4-5, context u16 at 6-7,
// data 8-135, status u16 at 136-137.
constexpr uint16_t kNvSimRequestLength = 138;
constexpr size_t kNvSimItemOffset = 4;
constexpr size_t kNvSimContextOffset = 6;
constexpr size_t kNvSimDataOffset = 8;
constexpr size_t kNvSimStatusOffset = 136;
// EFS sync of "/" (sequence 0), sent after a restore so the phone commits what it got.
constexpr uint16_t kCloseRequestLength = 9;

// Status words of an NV answer.
constexpr uint16_t kNvDone = 0;
constexpr uint16_t kNvBusy = 1;
constexpr uint16_t kNvInactive = 5;
constexpr uint16_t kNvReadOnly = 7;
constexpr uint16_t kNvBadItem = 8; // the phone does not know the item

// First byte of the error packets a phone sends instead of an answer; the request follows.
constexpr uint8_t kDiagErrBadCmd = 0x13;
constexpr uint8_t kDiagErrBadParams = 0x14;
constexpr uint8_t kDiagErrBadLen = 0x15;
constexpr uint8_t kDiagErrBadMode = 0x18;
constexpr uint8_t kDiagErrLocked = 0x42; // security locked

enum class NvKind { Main, Sim1 };

using Request = std::array<uint8_t, kRequestArea>;

// Each builder zeroes the whole area, fills the request and returns its length.
uint16_t BuildNvRead(uint16_t item, Request& out);
uint16_t BuildNvReadSim1(uint16_t item, Request& out);
uint16_t BuildNvWrite(uint16_t item, const uint8_t* data128, Request& out);
uint16_t BuildNvWriteSim1(uint16_t item, const uint8_t* data128, Request& out);
uint16_t BuildCloseRequest(Request& out);

inline uint16_t BuildRead(NvKind k, uint16_t item, Request& out) {
    return k == NvKind::Main ? BuildNvRead(item, out) : BuildNvReadSim1(item, out);
}
inline uint16_t BuildWrite(NvKind k, uint16_t item, const uint8_t* data, Request& out) {
    return k == NvKind::Main ? BuildNvWrite(item, data, out) : BuildNvWriteSim1(item, data, out);
}

inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Where an answer's 128 data bytes sit.
const uint8_t* AnswerData(NvKind k, const uint8_t* answer);

// True when the answer is the phone's NV read reply for this item (command, subsystem and item
// all match). The status word is not part of the test.
bool IsNvReadReply(NvKind k, const uint8_t* answer, uint16_t item);
// The same for the reply to an NV write.
bool IsNvWriteReply(NvKind k, const uint8_t* answer, uint16_t item);
uint16_t AnswerStatus(NvKind k, const uint8_t* answer);

// The name of an NV status word ("busy", "read-only"...), or "status N".
std::string NvStatusName(uint16_t status);
// The name of an error packet's code ("bad command"...), or empty when the first byte is not
// one of the codes above.
std::string DiagErrorName(uint8_t code);
// What an answer that is not the expected reply is, for messages: the error packet's name, or
// the first bytes in hex.
std::string DescribeAnswer(const uint8_t* answer);

// True when the answer (n bytes) is recognisably the answer to another request than this one:
// an NV read or write reply, plain or SIM 1, naming another command or item (or any NV reply
// when the request is no NV request), or an error packet echoing such a request. A phone answers
// every request, late ones too, and sometimes twice; such an answer is left over from an earlier
// exchange. An answer that names no NV request is not judged here (false).
bool AnswersAnotherRequest(const uint8_t* request, uint16_t length, const uint8_t* answer, int n);

// The kind and item of a record's request area, as the restore built it.
NvKind RecordKind(const uint8_t* area);
uint16_t RecordItem(const uint8_t* area);
const uint8_t* RecordData(const uint8_t* area);
// The item as messages name it: "NV item 10" or "NV item (SIM 1) 453".
std::string ItemName(NvKind k, uint16_t item);

} // namespace diag
