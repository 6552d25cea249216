#pragma once
// Command reports: the exchange of controllers that the tool drives (erase, write, record,
// finish, information), one command per output report, each answered by an acknowledgement.
//
// Command report (after the report id), little-endian:
//   0      1  kind, always 0x05
//   1-2    2  command
//   3-4    2  reserved, 0
//   5-8    4  length of the data asked for, capped at 46
//   9-12   4  total size of the object the command concerns
//   13-16  4  address in the controller's memory
//   17-62  0-46 data, zeros after
// Acknowledgement (after the report id):
//   0      1  0x00
//   1      1  kind 0x05
//   2-3    2  status (STATUS_DONE, STATUS_BUSY)
//   4-5    2  command echo
//   18-63  46 reply data (the information record for CMD_GET_INFO)
#include <cstdint>

constexpr uint8_t CMD_KIND = 0x05;

constexpr uint16_t CMD_WRITE_RECORD = 0x02;
constexpr uint16_t CMD_WRITE_IMAGE = 0x03;
constexpr uint16_t CMD_ERASE = 0x04;
constexpr uint16_t CMD_FINISH = 0x07;
constexpr uint16_t CMD_GET_INFO = 0xC0;

constexpr uint16_t STATUS_DONE = 0x0000;
constexpr uint16_t STATUS_BUSY = 0x0010;

// Command report layout.
constexpr int CMD_OFFSET_KIND = 0;
constexpr int CMD_OFFSET_COMMAND = 1;
constexpr int CMD_OFFSET_RESERVED = 3;
constexpr int CMD_OFFSET_LENGTH = 5;
constexpr int CMD_OFFSET_TOTAL = 9;
constexpr int CMD_OFFSET_ADDRESS = 13;
constexpr int CMD_OFFSET_DATA = 17;
constexpr uint32_t CMD_MAX_DATA = 46;
constexpr int CMD_FRAME_SIZE = 64;

// Acknowledgement layout.
constexpr int ACK_OFFSET_ZERO = 0;
constexpr int ACK_OFFSET_KIND = 1;
constexpr int ACK_OFFSET_STATUS = 2;
constexpr int ACK_OFFSET_ECHO = 4;
constexpr int ACK_OFFSET_REPLY = 18;
constexpr uint32_t ACK_REPLY_SIZE = 46;

// The device information record.
constexpr uint32_t DEVICE_INFO_SIZE = 48;
constexpr int INFO_OFFSET_VERSION = 4;
constexpr int INFO_OFFSET_RECORD_ADDRESS = 40;
constexpr int INFO_OFFSET_REVISION = 44;
constexpr uint32_t INFO_VERSION_NONE = 0xFFFFFFFF;
constexpr uint16_t INFO_REVISION_NONE = 0xFFFF;

// The erase covers whole 32 KiB sectors.
constexpr uint32_t ERASE_UNIT = 0x8000;

// Filled only by a successful RequestDeviceInfo; all zero at start.
extern uint8_t g_deviceInfo[DEVICE_INFO_SIZE];

// Builds and sends one command report; the result of WriteHid.
int SendCommandReport(const uint8_t* data, uint32_t length, uint32_t address, uint32_t total, uint16_t command,
                      uint16_t reserved);
// True when g_inReport (just read with result 0) acknowledges `command` as done.
bool IsMatchingAck(uint16_t command);
