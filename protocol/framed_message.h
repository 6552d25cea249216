#pragma once
// Framed messages: the exchange of controllers that drive their own update.
//
// Every message starts with a 4-byte head:
//   byte 0     0x00
//   byte 1     message type
//   bytes 2-3  payload length (message bytes after byte 3), little-endian
// TYPE_FIRMWARE carrying data (long form, n + 7 bytes, payload length n + 3):
//   byte 4     command
//   bytes 5-6  data length n
//   bytes 7..  data
// Short form (a firmware command without data, and the control messages), always 5 bytes:
//   byte 4     command (for control messages: their argument)
//
// In an output report the message travels after a count byte:
//   report byte 0 report id 0, byte 1 count N (1..63), bytes 2..N+1 the message, zeros after.
// In g_inReport (input report without its id) a message is read at fixed positions; neither
// length field is used to find or bound anything.
#include <cstdint>

// Message types.
constexpr uint8_t TYPE_FIRMWARE = 0x16;        // both ways; carries one firmware command
constexpr uint8_t TYPE_IDENTITY = 25;          // controller: identity record
constexpr uint8_t TYPE_START_UPDATE = 26;      // tool: first message of an update
constexpr uint8_t TYPE_RECEIVE_FAILED = 29;    // tool: a read of the link ended without a report

// Firmware commands (byte 4 of a TYPE_FIRMWARE message).
constexpr uint8_t FIRMWARE_DATA = 0;           // tool: the next piece of the image (0-32 bytes)
constexpr uint8_t FIRMWARE_HEADER = 1;         // tool: describes the image, 28 data bytes
constexpr uint8_t FIRMWARE_END = 2;            // tool: the whole image was delivered
constexpr uint8_t GET_FIRMWARE_VERSION = 4;    // tool: version query; controller: version report
constexpr uint8_t SET_FIRMWARE_DATA = 20;      // controller: send the next piece
constexpr uint8_t FIRMWARE_FAILED = 21;        // controller: the update failed
constexpr uint8_t FIRMWARE_FAILED_2 = 24;      // controller: the update failed (same handling)

// Message layout.
constexpr int FRAME_OFFSET_ZERO = 0;
constexpr int FRAME_OFFSET_TYPE = 1;
constexpr int FRAME_OFFSET_LENGTH = 2;
constexpr int FRAME_OFFSET_COMMAND = 4;
constexpr int FRAME_OFFSET_DATA_LENGTH = 5;
constexpr int FRAME_OFFSET_DATA = 7;
constexpr int FRAME_HEAD_SIZE = 4;
constexpr int FRAME_SHORT_SIZE = 5;
constexpr int FRAME_LONG_OVERHEAD = 7;
// Payload offsets, counted from the command byte (message byte 4).
constexpr int FRAME_PAYLOAD_DATA = FRAME_OFFSET_DATA - FRAME_OFFSET_COMMAND;
// The identity record's firmware type: message bytes 40-43.
constexpr int FRAME_OFFSET_FIRMWARE_TYPE = 40;

// Output report layout: count byte then message bytes, within the 64 data bytes.
constexpr int FRAME_MAX_PER_REPORT = 63;
// A FIRMWARE_DATA message goes out in pieces of at most this many bytes: exactly one
// 32-byte image piece with its 7-byte head.
constexpr int FRAME_DATA_PIECE = 39;
constexpr int FIRMWARE_PIECE_SIZE = 32;
// FIRMWARE_HEADER data: the image header's first three words, then 16 zero bytes.
constexpr int FIRMWARE_HEADER_DATA_SIZE = 28;
constexpr int FW_HEADER_OFFSET_VERSION = 0;
constexpr int FW_HEADER_OFFSET_ADDRESS = 4;
constexpr int FW_HEADER_OFFSET_SIZE = 8;

// g_inReport positions of an incoming message (byte 0 is the report's count byte).
constexpr int INREPORT_OFFSET_COUNT = 0;
constexpr int INREPORT_OFFSET_MESSAGE = 1;

// Firmware types the tool can update.
constexpr uint32_t FIRMWARE_TYPE_BOOT = 1;
constexpr uint32_t FIRMWARE_TYPE_BOOT_2 = 200;

// A controller's version word that carries no version.
constexpr uint32_t DEVICE_VERSION_NONE = 0xFFFFFFFF;

// Sends one TYPE_FIRMWARE message: the long form when length >= 1, else the short form.
// FIRMWARE_DATA travels in pieces of at most 39 bytes, one report each; every other
// command in one report. Reaches the link through g_pUpdateDlg.
void SendFirmwarePacket(uint8_t command, const uint8_t* data, int length);
// Sends a 5-byte short message of `type` whose command byte is `argument`. True when the
// report was written.
bool SendControlPacket(uint8_t type, uint8_t argument);
